#include "LogFile.h"

#include "LongPath/LongPath.h"
#include "Platform/AppendFile.h"
#include "Platform/Platform.h"
#include "Text/CrLf.h"

#include <boost/filesystem/fstream.hpp>

#include <ios>

namespace fs = boost::filesystem;

namespace Tellan {

namespace {

// What one append keeps of its translation buffer for the next.
constexpr std::size_t kKeptBuffer = 1 << 20;

Platform::AppendFile& files() { return Platform::Installed<Platform::AppendFile>::get(); }

} // namespace

LogFile::LogFile() : handle(-1), diskBytes(0) {}

LogFile::~LogFile() { close(); }

bool LogFile::create(const fs::path& path)
{
    close();
    // Each append goes to the file in one write, with nothing buffered in
    // between that a failed write could leave behind to come out later. A
    // file that stands at the name already is not ours, whoever made it.
    handle = files().create(path);
    if (handle < 0)
        return false;
    hold = FileInUse(path);
    if (!hold.held()) {
        // Another process holds the file made above, or it was moved away
        // before the hold: not ours to write on.
        close();
        return false;
    }
    // Written through a description opened under the hold: the file made
    // above may have been moved and another put in its place before the
    // hold was taken. One that is not empty is someone else's.
    files().close(handle);
    handle = files().open(path);
    if (handle < 0 || !hold.isAt(path) || LongPath::fileSize(path) != 0) {
        close();
        return false;
    }
    diskBytes = 0;
    return true;
}

bool LogFile::append(const char* text, std::size_t size)
{
    buffer.clear();
    Text::appendWithCrLf(buffer, text, size);
    const auto length = static_cast<std::int64_t>(buffer.size());
    const bool whole = handle >= 0 && files().append(handle, buffer.data(), buffer.size()) == length;
    if (buffer.capacity() > kKeptBuffer)
        std::string().swap(buffer);
    if (whole) {
        diskBytes += static_cast<std::uint64_t>(length);
        return true;
    }
    // A full disk: cut off what part of the text got through, so that the
    // next line starts on a line of its own. Through the hold, not the
    // name: another file may stand at the name by now.
    hold.truncate(diskBytes);
    return false;
}

bool LogFile::moveAway(const fs::path& from, const fs::path& to)
{
    // Moved while still open and held, so that no one takes the file up in
    // between; one that cannot be moved (in use by another process) is kept,
    // still held.
    LongPath::renameHeld(from, to, hold);
    if (LongPath::exists(from))
        return false;
    close();
    return true;
}

void LogFile::discard(const fs::path& path)
{
    files().close(handle);
    handle = -1;
    LongPath::removeHeld(path, hold);
    diskBytes = 0;
}

bool LogFile::copyTo(const fs::path& to, const std::string& trailer)
{
    if (handle < 0)
        return false;
    fs::ofstream copy(to, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!copy)
        return false;
    char chunk[64 * 1024];
    std::uint64_t offset = 0;
    for (;;) {
        const std::int64_t got = files().readAt(handle, offset, chunk, sizeof chunk);
        if (got < 0)
            return false;
        if (got == 0)
            break;
        copy.write(chunk, static_cast<std::streamsize>(got));
        offset += static_cast<std::uint64_t>(got);
    }
    std::string tail;
    Text::appendWithCrLf(tail, trailer);
    copy << tail;
    copy.flush();
    return static_cast<bool>(copy);
}

void LogFile::close()
{
    hold.release();
    files().close(handle);
    handle = -1;
    diskBytes = 0;
}

} // namespace Tellan
