#pragma once

#include <QString>

#include <cstdint>

namespace Tellan {
namespace Platform {

// The account of the calling process (GetUserNameW and relatives).
class Account {
public:
    virtual ~Account() = default;

    // GetUserNameW: on entry *size is the capacity of buffer in UTF-16 units,
    // terminator included. On success writes the NUL-terminated name, sets
    // *size to its length plus one and returns true. On failure returns false
    // with getLastError() set (ERROR_INSUFFICIENT_BUFFER_CODE when too small,
    // *size then holds the capacity needed).
    virtual bool getUserName(char16_t* buffer, std::uint32_t* size) = 0;

    static Account& native();

    // The GetUserNameW buffer contract for a name in hand.
    static bool copyName(const QString& name, char16_t* buffer, std::uint32_t* size);
};

} // namespace Platform
} // namespace Tellan
