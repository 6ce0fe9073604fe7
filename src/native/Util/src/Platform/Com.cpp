#include "Platform/Com.h"

#include <cstring>

namespace Tellan {
namespace Platform {

// {4590F811-1D3A-11D0-891F-00AA004B2E24}
const Guid CLSID_WbemLocator = {0x4590f811, 0x1d3a, 0x11d0, {0x89, 0x1f, 0x00, 0xaa, 0x00, 0x4b, 0x2e, 0x24}};
// {DC12A687-737F-11CF-884D-00AA004B2E24}
const Guid IID_IWbemLocator = {0xdc12a687, 0x737f, 0x11cf, {0x88, 0x4d, 0x00, 0xaa, 0x00, 0x4b, 0x2e, 0x24}};

bool operator==(const Guid& a, const Guid& b)
{
    return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3
           && std::memcmp(a.data4, b.data4, sizeof a.data4) == 0;
}

void variantClear(Variant* value)
{
    if (!value)
        return;
    value->vt = VT_EMPTY;
    value->lVal = 0;
    value->bstrVal.clear();
}

} // namespace Platform
} // namespace Tellan
