#pragma once

// The user's session as the single-instance channel sees it: the process
// id, the session id (ProcessIdToSessionId, which the programs look up in
// kernel32 at run time), the user's private temporary folder, where the
// session's lock file and local socket live, and who owns a file or the
// other end of a local connection.

#include "Platform/Platform.h"

#include <cstdint>
#include <functional>
#include <string>

namespace Tellan {
namespace Platform {

// The longest folder getPrivateTempPath gives: a local socket's path must
// stay under 108 bytes with a file name of up to 40 bytes added.
constexpr std::size_t PRIVATE_TEMP_PATH_MAX = 64;

class Session {
public:
    virtual ~Session() = default;

    using ProcessIdToSessionIdFunction = std::function<bool(std::uint32_t processId, std::uint32_t* sessionId)>;

    // GetCurrentProcessId
    virtual std::uint32_t getCurrentProcessId() = 0;

    // The function ProcessIdToSessionId of kernel32, looked up by name; empty
    // when the look-up finds none. Each call looks up anew.
    virtual ProcessIdToSessionIdFunction lookUpProcessIdToSessionId() = 0;

    // The user's temporary folder, which no other local user can enter (what
    // GetTempPathW gives on Windows), without a trailing separator and at most
    // PRIVATE_TEMP_PATH_MAX bytes long; created when missing. False with
    // ERROR_ACCESS_DENIED_CODE when the folder is someone else's, cannot be
    // made private or holds entries of others that cannot be removed.
    virtual bool getPrivateTempPath(std::string* folder) = 0;

    // Whether the file open on `descriptor` belongs to this user: a file in
    // the private folder that someone else made is not used.
    virtual bool isOwnedByCurrentUser(int descriptor) = 0;

    // Whether the process at the other end of the connected local socket
    // `descriptor` runs as this user (its credentials when it connected or
    // began to listen).
    virtual bool isPeerOfCurrentUser(int descriptor) = 0;

    static Session& native();
};

} // namespace Platform
} // namespace Tellan
