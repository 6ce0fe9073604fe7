#pragma once

#include <boost/filesystem/path.hpp>

#include <cstddef>
#include <cstdint>

namespace Tellan {
namespace Platform {

// A file open for appending (CreateFile with FILE_APPEND_DATA, WriteFile):
// every write goes to the file's end in one call, with nothing buffered in
// the process, and the file can be read back through the same handle.
class AppendFile {
public:
    virtual ~AppendFile() = default;

    // Opens the file at `path` for reading and appending, making it when it
    // is missing. A handle >= 0, or -1 with the last error set.
    virtual int open(const boost::filesystem::path& path) = 0;

    // Makes a new file at `path` and opens it as open does (CREATE_NEW): a
    // file that stands there already is not this one's, and gives -1 with
    // the last error set.
    virtual int create(const boost::filesystem::path& path) = 0;

    // Closes a handle; -1 is ignored.
    virtual void close(int handle) = 0;

    // Writes `size` bytes at the file's end in one call: the bytes that got
    // into the file (fewer on a full disk), or -1 with the last error set.
    virtual std::int64_t append(int handle, const char* data, std::size_t size) = 0;

    // Reads up to `size` bytes from `offset`: the bytes read, 0 at the end,
    // or -1 with the last error set.
    virtual std::int64_t readAt(int handle, std::uint64_t offset, char* data, std::size_t size) = 0;

    static AppendFile& native();
};

} // namespace Platform
} // namespace Tellan
