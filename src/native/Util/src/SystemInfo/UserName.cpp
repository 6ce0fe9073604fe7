#include "SystemInfo/SystemInfo.h"

#include "Platform/Account.h"
#include "Platform/Platform.h"

namespace Zorvik {
namespace SystemInfo {

QString getUserName()
{
    // The longest Windows user name, 256, plus the terminator.
    char16_t buffer[257] = {};
    std::uint32_t size = 257;
    if (!Tellan::Platform::Installed<Tellan::Platform::Account>::get().getUserName(buffer, &size))
        return QString();
    return QString::fromUtf16(buffer);
}

} // namespace SystemInfo
} // namespace Zorvik
