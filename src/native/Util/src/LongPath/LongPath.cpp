#include "LongPath/LongPath.h"
#include "LongPath/FileInUse.h"
#include "Platform/FileShare.h"
#include "Platform/Files.h"
#include "Platform/Platform.h"

#include <QString>

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>

#include <cerrno>
#include <string>

namespace fs = boost::filesystem;

namespace Tellan {
namespace LongPath {

const char* const LONG_PATH_PREFIX = "\\\\?\\";

namespace {

using Platform::Installed;

// The limit counts UTF-16 units, as Windows does.
std::size_t wideLength(const fs::path& path)
{
    return static_cast<std::size_t>(QString::fromStdString(path.string()).size());
}

Platform::Files& files() { return Installed<Platform::Files>::get(); }
Platform::FileShare& share() { return Installed<Platform::FileShare>::get(); }

// A file held open elsewhere cannot be moved or deleted, as on Windows.
bool inUse(const fs::path& path) { return share().isInUse(path); }

// Moves without asking whether the old name is in use; the new name may
// not be.
bool moveFile(const fs::path& from, const fs::path& to)
{
    if (inUse(to)) {
        Platform::setLastError(Platform::ERROR_SHARING_VIOLATION_CODE);
        return false;
    }
    switch (files().move(from, to)) {
    case Platform::Files::Move::Moved: return true;
    case Platform::Files::Move::Failed: return false;
    case Platform::Files::Move::OtherVolume: break;
    }
    // Another volume: move by copying, as a move allowed to copy does. The
    // source goes only once every byte has reached the target.
    return files().copy(from, to) && files().remove(from);
}

} // namespace

fs::path fromText(const QString& text) { return fs::path(text.toUtf8().toStdString()); }

fs::path toLongPath(const fs::path& path)
{
    if (wideLength(path) < LONG_PATH_LIMIT)
        return path;
    const std::string narrow = path.string();
    if (narrow.find(LONG_PATH_PREFIX) != std::string::npos)
        return path;
    return fs::path(LONG_PATH_PREFIX + narrow);
}

bool createDirectories(const fs::path& path)
{
    const std::uint64_t notAFile = std::uint64_t(-1);
    if (path.empty())
        return false;
    if (files().exists(path)) {
        if (files().fileSize(path) != notAFile)
            throw fs::filesystem_error("cannot create directory", path,
                                       boost::system::error_code(EEXIST, boost::system::system_category()));
        return false;
    }
    const fs::path parent = path.parent_path();
    if (!parent.empty() && parent != path)
        createDirectories(parent);
    const int error = files().makeFolder(path);
    if (error == 0)
        return true;
    // Made by someone else meanwhile.
    if (error == EEXIST && files().exists(path) && files().fileSize(path) == notAFile)
        return false;
    throw fs::filesystem_error("cannot create directory", path,
                               boost::system::error_code(error, boost::system::system_category()));
}

bool exists(const fs::path& path) { return files().exists(path); }

std::uint64_t fileSize(const fs::path& path) { return files().fileSize(path); }

void rename(const fs::path& oldPath, const fs::path& newPath)
{
    if (inUse(oldPath)) {
        Platform::setLastError(Platform::ERROR_SHARING_VIOLATION_CODE);
        return;
    }
    moveFile(oldPath, newPath);
}

bool renameHeld(const fs::path& oldPath, const fs::path& newPath, FileInUse& hold)
{
    const bool ours = hold.isAt(oldPath);
    if (!ours && inUse(oldPath)) {
        Platform::setLastError(Platform::ERROR_SHARING_VIOLATION_CODE);
        return false;
    }
    // The lock goes with the file to its new name, so no one can take it up
    // between the move and the release.
    const bool moved = moveFile(oldPath, newPath);
    if (moved && ours)
        hold.release();
    return moved;
}

bool remove(const fs::path& path)
{
    if (inUse(path)) {
        Platform::setLastError(Platform::ERROR_SHARING_VIOLATION_CODE);
        return false;
    }
    return files().remove(path);
}

bool removeAll(const fs::path& path)
{
    boost::system::error_code error;
    const auto removed = fs::remove_all(path, error);
    return removed > 0 && !error;
}

bool removeHeld(const fs::path& path, FileInUse& hold)
{
    // Without a hold, whatever stands at the name is not known to be ours.
    if (!hold.held() || !hold.isAt(path)) {
        hold.release();
        return false;
    }
    // Our hold keeps every other holder out, so the file is removed before
    // anyone else can take it up; only then does the hold go.
    const bool removed = files().remove(path);
    hold.release();
    return removed;
}

Platform::Removal removeIfUnchanged(const fs::path& path, FileInUse& hold)
{
    return hold.removeIfUnchanged(path, QUIET_PERIOD);
}

Platform::Removal removeIfUnchanged(const fs::path& path, const Platform::FileStamp& stamp)
{
    return share().removeIfUnchanged(path, stamp, -1, QUIET_PERIOD);
}

Platform::FileStamp stampOf(const fs::path& path) { return share().stampOf(path); }

const char* stillWritten(const fs::path& path)
{
    switch (share().writersOf(path)) {
    case Platform::Writers::None: return nullptr;
    case Platform::Writers::Open: return "openForWriting";
    case Platform::Writers::Unknown: break;
    }
    return share().quietFor(path, QUIET_PERIOD) ? nullptr : "notQuiet";
}

const char* keptBecause(Platform::Removal removal)
{
    switch (removal) {
    case Platform::Removal::Removed: return nullptr;
    case Platform::Removal::Missing: return "missing";
    case Platform::Removal::Replaced: return "replaced";
    case Platform::Removal::Changed: return "changed";
    case Platform::Removal::BeingWritten: return "openForWriting";
    case Platform::Removal::NotQuiet: return "notQuiet";
    case Platform::Removal::InUse: return "inUse";
    case Platform::Removal::Failed: break;
    }
    return "failed";
}

} // namespace LongPath
} // namespace Tellan
