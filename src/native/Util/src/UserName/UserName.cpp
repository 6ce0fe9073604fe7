#include "UserName/UserName.h"

#include "Platform/Account.h"
#include "Platform/Platform.h"

namespace Zorvik {
namespace SystemInfo {

std::size_t getUserName(char16_t (&buffer)[userNameCapacity])
{
    std::uint32_t size = userNameCapacity;
    buffer[0] = 0;
    if (!Tellan::Platform::Installed<Tellan::Platform::Account>::get().getUserName(buffer, &size))
        return 0;
    buffer[userNameCapacity - 1] = 0;
    return std::char_traits<char16_t>::length(buffer);
}

QString getUserName()
{
    char16_t buffer[userNameCapacity];
    const std::size_t length = getUserName(buffer);
    return QString::fromUtf16(buffer, static_cast<int>(length));
}

} // namespace SystemInfo
} // namespace Zorvik
