#pragma once

#include "Platform/AppendFile.h"

#include <atomic>
#include <cstdint>

namespace TestSupport {

// The native appending, on a disk whose room the test sets: an append that
// does not fit writes what fits and reports that much, one that finds no
// room fails, as a full disk does. Counts the appends.
class ScriptedAppendFile : public Tellan::Platform::AppendFile {
public:
    int open(const boost::filesystem::path& path) override;
    int create(const boost::filesystem::path& path) override;
    void close(int handle) override;
    std::int64_t append(int handle, const char* data, std::size_t size) override;
    std::int64_t readAt(int handle, std::uint64_t offset, char* data, std::size_t size) override;

    // Bytes the disk still takes; below zero, no limit.
    std::atomic<std::int64_t> room{-1};
    std::atomic<int> appends{0};
};

} // namespace TestSupport
