#pragma once

#include "Platform/FileShare.h"

#include <mutex>
#include <set>
#include <string>

namespace TestSupport {

// The native file sharing, except that the paths a test marks count as held
// in use by someone else, whoever holds them: renames and deletions through
// LongPath then fail on them.
class ScriptedFileShare : public Tellan::Platform::FileShare {
public:
    int holdInUse(const boost::filesystem::path& path) override;
    void releaseInUse(int handle) override;
    bool isInUse(const boost::filesystem::path& path) override;
    bool isOpenForWriting(const boost::filesystem::path& path) override;

    void markInUse(const boost::filesystem::path& path);
    void clear();

private:
    std::mutex mutex_;
    std::set<std::string> inUse_;
};

} // namespace TestSupport
