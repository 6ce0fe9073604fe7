#include "Platform/Account.h"
#include "Platform/Platform.h"

namespace Tellan {
namespace Platform {

bool Account::copyName(const QString& name, char16_t* buffer, std::uint32_t* size)
{
    const std::uint32_t needed = static_cast<std::uint32_t>(name.size()) + 1;
    if (!buffer || *size < needed) {
        *size = needed;
        setLastError(ERROR_INSUFFICIENT_BUFFER_CODE);
        return false;
    }
    for (int i = 0; i < name.size(); ++i)
        buffer[i] = name.at(i).unicode();
    buffer[name.size()] = 0;
    *size = needed;
    setLastError(0);
    return true;
}

} // namespace Platform
} // namespace Tellan
