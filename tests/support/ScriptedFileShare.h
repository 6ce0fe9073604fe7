#pragma once

#include "Platform/FileShare.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <string>

namespace TestSupport {

// The native file sharing, except that the paths a test marks count as held
// in use by someone else, whoever holds them: renames and deletions through
// LongPath then fail on them. A test may also act just before each hold is
// taken and just after each is released, as another process could, and may
// make the writers of every file impossible to tell, as for a file of
// another owner.
class ScriptedFileShare : public Tellan::Platform::FileShare {
public:
    int holdInUse(const boost::filesystem::path& path) override;
    void releaseInUse(int handle) override;
    bool isHeldAt(int handle, const boost::filesystem::path& path) override;
    bool truncateHeld(int handle, std::uint64_t size) override;
    bool isInUse(const boost::filesystem::path& path) override;
    Tellan::Platform::Writers writersOf(const boost::filesystem::path& path) override;
    bool quietFor(const boost::filesystem::path& path, std::chrono::milliseconds period) override;
    Tellan::Platform::FileStamp stampOf(const boost::filesystem::path& path) override;
    Tellan::Platform::FileStamp stampOfHeld(int handle) override;
    Tellan::Platform::Removal removeIfUnchanged(const boost::filesystem::path& path,
                                                const Tellan::Platform::FileStamp& expected, int handle,
                                                std::chrono::milliseconds quiet) override;

    void markInUse(const boost::filesystem::path& path);
    void clear();

    // Called with the path before every hold, and after every release.
    std::function<void(const boost::filesystem::path&)> beforeHold;
    std::function<void()> afterRelease;
    // Every file's writers are Unknown, as for a file of another owner.
    std::atomic<bool> writersUnknown{false};
    // Whether files have been quiet, whatever their times say: the native
    // answer, or every file quiet, or none.
    enum class Quiet { Native, Yes, No };
    std::atomic<Quiet> quietness{Quiet::Native};

private:
    std::mutex mutex_;
    std::set<std::string> inUse_;
};

} // namespace TestSupport
