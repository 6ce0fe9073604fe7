#pragma once

// IERefreshElevationPolicy of ieframe.dll, which the helper looks up by name
// at start and calls when it is there.

#include "Platform/Platform.h"

#include <cstdint>
#include <functional>

namespace Tellan {
namespace Platform {

class Elevation {
public:
    virtual ~Elevation() = default;

    // Returns an HRESULT.
    using RefreshPolicyFunction = std::function<std::int32_t()>;

    // The function when the library and the function are there; empty
    // otherwise. Each call looks up anew.
    virtual RefreshPolicyFunction lookUpIERefreshElevationPolicy() = 0;

    static Elevation& native();
};

} // namespace Platform
} // namespace Tellan
