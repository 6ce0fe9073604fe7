#include "Platform/Elevation.h"

namespace Tellan {
namespace Platform {

namespace {

// There is no ieframe.dll here: the look-up never finds the function.
class LinuxElevation final : public Elevation {
public:
    RefreshPolicyFunction lookUpIERefreshElevationPolicy() override { return {}; }
};

} // namespace

Elevation& Elevation::native() { return immortal<LinuxElevation>(); }

} // namespace Platform
} // namespace Tellan
