#include "LogFile.h"

#include "LongPath/LongPath.h"
#include "Text/CrLf.h"

#include <ios>

namespace fs = boost::filesystem;

namespace Tellan {

namespace {

// What one append keeps of its translation buffer for the next.
constexpr std::size_t kKeptBuffer = 1 << 20;

} // namespace

LogFile::LogFile() : diskBytes(0) {}

LogFile::~LogFile() = default;

bool LogFile::create(const fs::path& path)
{
    close();
    if (LongPath::exists(path))
        return false;
    // Unbuffered: each append goes to the file in one write, and one that
    // fails leaves nothing behind in the stream to come out later.
    file.rdbuf()->pubsetbuf(nullptr, 0);
    file.open(path, std::ios::out | std::ios::app | std::ios::binary);
    if (!file.is_open()) {
        file.clear();
        return false;
    }
    hold = FileInUse(path);
    if (!hold.held()) {
        // Another process made and holds the file since the test above, or
        // the file was moved away before the hold: not ours to write on.
        close();
        return false;
    }
    // Written through a description opened under the hold: the file made
    // above may have been moved and another put in its place before the
    // hold was taken. One that is not empty is someone else's.
    file.close();
    file.clear();
    file.rdbuf()->pubsetbuf(nullptr, 0);
    file.open(path, std::ios::in | std::ios::out | std::ios::app | std::ios::binary);
    if (!file.is_open() || !hold.isAt(path) || LongPath::fileSize(path) != 0) {
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
    const auto length = static_cast<std::streamsize>(buffer.size());
    const bool whole = file.is_open() && file.rdbuf()->sputn(buffer.data(), length) == length;
    if (buffer.capacity() > kKeptBuffer)
        std::string().swap(buffer);
    if (whole) {
        diskBytes += static_cast<std::uint64_t>(length);
        return true;
    }
    // A full disk: cut off what part of the text got through, so that the
    // next line starts on a line of its own. Through the hold, not the
    // name: another file may stand at the name by now.
    file.clear();
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
    file.close();
    file.clear();
    LongPath::removeHeld(path, hold);
    diskBytes = 0;
}

bool LogFile::copyTo(const fs::path& to, const std::string& trailer)
{
    if (!file.is_open())
        return false;
    fs::ofstream copy(to, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!copy)
        return false;
    file.clear();
    file.seekg(0);
    char chunk[64 * 1024];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0)
        copy.write(chunk, file.gcount());
    file.clear();
    std::string tail;
    Text::appendWithCrLf(tail, trailer);
    copy << tail;
    copy.flush();
    return static_cast<bool>(copy);
}

void LogFile::close()
{
    hold.release();
    if (file.is_open())
        file.close();
    file.clear();
    diskBytes = 0;
}

} // namespace Tellan
