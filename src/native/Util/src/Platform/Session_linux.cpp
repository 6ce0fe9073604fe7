#include "Platform/Session.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
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

bool isPrivateFolderOfUser(const struct stat& info)
{
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
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
        struct stat info;
        if (!runtime.empty() && runtime[0] == '/' && runtime.size() <= PRIVATE_TEMP_PATH_MAX
            && ::stat(runtime.c_str(), &info) == 0 && isPrivateFolderOfUser(info)) {
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
        if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
            setLastError(ERROR_ACCESS_DENIED_CODE);
            return false;
        }
        if ((info.st_mode & 077) != 0 && ::chmod(path.c_str(), 0700) != 0) {
            setLastError(ERROR_ACCESS_DENIED_CODE);
            return false;
        }
        *folder = path;
        setLastError(ERROR_SUCCESS_CODE);
        return true;
    }
};

} // namespace

Session& Session::native() { return immortal<LinuxSession>(); }

} // namespace Platform
} // namespace Tellan
