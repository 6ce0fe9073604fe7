#pragma once

#include "Platform/Files.h"

#include <atomic>

namespace TestSupport {

// The native file operations, except that a test may make moves find the
// new name on another volume, and make a copy fail once half of the bytes
// are written, as a full disk or a failing device would.
class ScriptedFiles : public Tellan::Platform::Files {
public:
    int statusOf(const boost::filesystem::path& path, Status& status) override;
    bool exists(const boost::filesystem::path& path) override;
    std::uint64_t fileSize(const boost::filesystem::path& path) override;
    int makeFolder(const boost::filesystem::path& path) override;
    Move move(const boost::filesystem::path& from, const boost::filesystem::path& to) override;
    bool copy(const boost::filesystem::path& from, const boost::filesystem::path& to) override;
    bool remove(const boost::filesystem::path& path) override;
    int openForReading(const boost::filesystem::path& path) override;
    void closeHandle(int handle) override;

    std::atomic<bool> everyMoveCrossesVolumes{false};
    std::atomic<bool> copiesFailHalfWay{false};
    // Copies that failed half way so far.
    std::atomic<int> failedCopies{0};
};

} // namespace TestSupport
