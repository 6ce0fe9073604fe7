#include "Platform/Machine.h"

#include <algorithm>

namespace Tellan {
namespace Platform {

bool Machine::copyComputerName(const std::u16string& name, char16_t* buffer, std::uint32_t* size)
{
    if (!size) {
        setLastError(ERROR_INVALID_PARAMETER_CODE);
        return false;
    }
    const auto needed = static_cast<std::uint32_t>(name.size() + 1);
    if (!buffer || *size < needed) {
        *size = needed;
        setLastError(ERROR_BUFFER_OVERFLOW_CODE);
        return false;
    }
    std::copy(name.begin(), name.end(), buffer);
    buffer[name.size()] = 0;
    *size = needed - 1;
    setLastError(0);
    return true;
}

} // namespace Platform
} // namespace Tellan
