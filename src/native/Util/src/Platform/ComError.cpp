#include "Platform/ComError.h"

#include "Platform/Machine.h"
#include "Platform/Platform.h"

namespace Tellan {
namespace Platform {

std::uint16_t ComError::wCode() const
{
    const auto bits = static_cast<std::uint32_t>(result_);
    return bits >= 0x80040200u && bits <= 0x8004FFFFu ? static_cast<std::uint16_t>(bits - 0x80040200u) : 0;
}

QString ComError::errorMessage() const
{
    Machine& machine = Installed<Machine>::get();
    char16_t* buffer = nullptr;
    const std::uint32_t length = machine.formatMessage(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        static_cast<std::uint32_t>(result_), LANGUAGE_NEUTRAL_DEFAULT, &buffer, 0);
    if (length > 0 && buffer) {
        QString text = QString::fromUtf16(buffer, static_cast<int>(length));
        machine.localFree(buffer);
        if (text.endsWith(QLatin1Char('\n'))) {
            text.chop(1);
            if (text.endsWith(QLatin1Char('\r')))
                text.chop(1);
        }
        return text;
    }
    if (buffer)
        machine.localFree(buffer);
    if (wCode() != 0)
        return QStringLiteral("IDispatch error #%1").arg(wCode());
    return QStringLiteral("Unknown error 0x%1").arg(QString::number(static_cast<std::uint32_t>(result_), 16).toUpper());
}

} // namespace Platform
} // namespace Tellan
