#pragma once

#include "LongPath/FileInUse.h"

#include <boost/filesystem/path.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

namespace Tellan {

// One log file as the disk holds it: made and written under a hold, so that
// no one moves or deletes it meanwhile, with CR LF line ends, and never left
// with part of a text that did not get through. Knows nothing of names,
// sizes or what to do when a write fails; HelperLogger decides that.
class LogFile {
public:
    LogFile();
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Makes a new, empty file at `path`, opens it and holds it. False, with
    // nothing open, when a file stands there already, it cannot be made, or
    // the file at the name by the time it is held is not the one made here.
    bool create(const boost::filesystem::path& path);
    bool isOpen() const { return handle >= 0; }

    // Appends the text, each line feed as CR LF, in one write. A text that
    // does not get through whole is cut back, so that the file ends where it
    // did before; false then.
    bool append(const char* text, std::size_t size);
    bool append(const std::string& text) { return append(text.data(), text.size()); }

    // Bytes on disk, CR included.
    std::uint64_t size() const { return diskBytes; }

    // True when the open file still stands at `path`: not removed, not moved
    // away, not replaced by another.
    bool isAt(const boost::filesystem::path& path) const { return hold.isAt(path); }

    // Moves whatever stands at `from` to `to`, without letting go of this
    // file first when it is the one there (LongPath::renameHeld). True when
    // nothing stands at `from` any more; this file is then closed.
    bool moveAway(const boost::filesystem::path& from, const boost::filesystem::path& to);

    // Removes the file at `path` under the hold and closes.
    void discard(const boost::filesystem::path& path);

    // Writes what the open file holds into a new file at `to`, followed by
    // `trailer` (both with CR LF). For a file that someone else removed or
    // moved while it was open: its lines survive only through this
    // description. True when all of it was written.
    bool copyTo(const boost::filesystem::path& to, const std::string& trailer);

    void close();

private:
    // Open for appending, through the platform's AppendFile; -1 when closed.
    int handle;
    FileInUse hold;
    std::uint64_t diskBytes;
    // The translated text of the current append, kept to save allocations.
    std::string buffer;
};

} // namespace Tellan
