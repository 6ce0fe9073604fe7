#include "Platform/Session.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Tellan {
namespace Platform {

namespace {

// /proc/<pid>/sessionid holds the audit session, 4294967295 when the process
// belongs to none.
bool readSessionId(std::uint32_t processId, std::uint32_t* sessionId)
{
    std::ifstream in("/proc/" + std::to_string(processId) + "/sessionid");
    unsigned long long value = 0;
    if (!(in >> value) || value >= 0xFFFFFFFFull) {
        setLastError(ERROR_INVALID_PARAMETER_CODE);
        return false;
    }
    *sessionId = static_cast<std::uint32_t>(value);
    setLastError(ERROR_SUCCESS_CODE);
    return true;
}

// A folder (not a link to one) of ours that others cannot enter and that we
// can use.
bool isPrivateFolderOfUser(const struct stat& info)
{
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0
           && (info.st_mode & 0700) == 0700;
}

// Entries of other users in our folder (planted while it was open to them)
// are removed: a lock file or socket of theirs would take the channel.
bool removeEntriesOfOthers(int folder)
{
    const int listing = ::dup(folder);
    DIR* entries = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (!entries) {
        if (listing >= 0)
            ::close(listing);
        return false;
    }
    bool clean = true;
    while (const dirent* entry = ::readdir(entries)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        struct stat info;
        if (::fstatat(folder, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone meanwhile
        if (info.st_uid == ::geteuid())
            continue;
        if (::unlinkat(folder, entry->d_name, S_ISDIR(info.st_mode) ? AT_REMOVEDIR : 0) != 0)
            clean = false;
    }
    ::closedir(entries);
    return clean;
}

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

class LinuxSession final : public Session {
public:
    std::uint32_t getCurrentProcessId() override { return static_cast<std::uint32_t>(::getpid()); }

    ProcessIdToSessionIdFunction lookUpProcessIdToSessionId() override
    {
        std::uint32_t id = 0;
        if (!readSessionId(getCurrentProcessId(), &id))
            return {};
        return &readSessionId;
    }

    bool getPrivateTempPath(std::string* folder) override
    {
        // The session's runtime folder, when it is ours alone and short enough.
        const std::string runtime = environment("XDG_RUNTIME_DIR");
        // A link is not the folder: whoever owns it can point it elsewhere.
        struct stat info;
        if (!runtime.empty() && runtime[0] == '/' && runtime.size() <= PRIVATE_TEMP_PATH_MAX
            && ::lstat(runtime.c_str(), &info) == 0 && isPrivateFolderOfUser(info)) {
            *folder = runtime;
            setLastError(ERROR_SUCCESS_CODE);
            return true;
        }

        // Otherwise a folder of our own under the temporary folder. Its name is
        // known to everyone: one that another user made first is refused.
        std::string base = environment("TMPDIR");
        while (base.size() > 1 && base.back() == '/')
            base.pop_back();
        const std::string name = "/runtime-" + std::to_string(::geteuid());
        if (base.empty() || base[0] != '/' || base.size() + name.size() > PRIVATE_TEMP_PATH_MAX)
            base = "/tmp";
        const std::string path = base + name;
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            setLastError(ERROR_ACCESS_DENIED_CODE);
            return false;
        }
        const int descriptor = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const bool usable = descriptor >= 0 && ::fstat(descriptor, &info) == 0 && info.st_uid == ::geteuid()
                            && ((info.st_mode & 0777) == 0700 || ::fchmod(descriptor, 0700) == 0)
                            && removeEntriesOfOthers(descriptor);
        if (descriptor >= 0)
            ::close(descriptor);
        if (!usable) {
            setLastError(ERROR_ACCESS_DENIED_CODE);
            return false;
        }
        *folder = path;
        setLastError(ERROR_SUCCESS_CODE);
        return true;
    }

    bool isOwnedByCurrentUser(int descriptor) override
    {
        struct stat info;
        if (::fstat(descriptor, &info) != 0) {
            setLastError(ERROR_INVALID_HANDLE_CODE);
            return false;
        }
        setLastError(ERROR_SUCCESS_CODE);
        return info.st_uid == ::geteuid();
    }

    bool isPeerOfCurrentUser(int descriptor) override
    {
        struct ucred credentials = {};
        socklen_t size = sizeof(credentials);
        if (::getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
            setLastError(ERROR_INVALID_HANDLE_CODE);
            return false;
        }
        setLastError(ERROR_SUCCESS_CODE);
        return credentials.uid == ::geteuid();
    }
};

} // namespace

Session& Session::native() { return immortal<LinuxSession>(); }

} // namespace Platform
} // namespace Tellan
