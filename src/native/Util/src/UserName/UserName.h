#pragma once

// The user name that log lines hide. It sits below logging, beside the
// platform layer, so that the log layouts need nothing of the machine facts
// (which log themselves).

#include <QString>

#include <cstddef>

namespace Zorvik {
namespace SystemInfo {

// The longest Windows user name, 256, plus the terminator.
constexpr std::size_t userNameCapacity = 257;

// The user name of the calling thread. Logs nothing and keeps nothing; an
// empty name when it cannot be read.
QString getUserName();

// The same name as UTF-16 units in buffer, NUL-terminated; returns its
// length, 0 when it cannot be read. For callers that ask on every line.
std::size_t getUserName(char16_t (&buffer)[userNameCapacity]);

} // namespace SystemInfo
} // namespace Zorvik
