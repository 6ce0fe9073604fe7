#pragma once

// File operations that put a path into the long form "\\?\..." first, which
// Windows file functions need for paths of 260 characters or more. None of
// them changes its arguments; every call converts its paths anew.

#include "Platform/FileShare.h"

#include <QString>

#include <boost/filesystem/path.hpp>

#include <chrono>
#include <cstdint>

namespace Tellan {

class FileInUse;

namespace LongPath {

// A path from Qt's text, through UTF-8 whatever the process locale: a path
// made from wide text converts through the locale, which throws for a
// non-ASCII name under LC_ALL=C and for any name under an invalid LANG.
boost::filesystem::path fromText(const QString& text);

// Backslash, backslash, question mark, backslash.
extern const char* const LONG_PATH_PREFIX;

// Paths with fewer wide (UTF-16) characters than this are used unchanged.
constexpr std::size_t LONG_PATH_LIMIT = 260;

// The long form: the path itself when it is shorter than the limit or when
// its narrow text holds the prefix anywhere; otherwise the prefix followed by
// the narrow text.
boost::filesystem::path toLongPath(const boost::filesystem::path& path);

// Makes the folder and any missing parents. True when a folder was created,
// false when it already existed; throws boost::filesystem::filesystem_error.
bool createDirectories(const boost::filesystem::path& path);

// True when a file or folder exists there; any error gives false.
bool exists(const boost::filesystem::path& path);

// Size in bytes; an error (no such file, or a folder) gives 2^64 - 1.
std::uint64_t fileSize(const boost::filesystem::path& path);

// Moves the file to the new name, replacing a file of that name and copying
// when the new name lies on another volume. A failure is not reported.
void rename(const boost::filesystem::path& oldPath, const boost::filesystem::path& newPath);

// True when a file (or an empty folder) was removed; a missing file or an
// error gives false.
bool remove(const boost::filesystem::path& path);

// Removes what stands at the path, whatever is in use: a file, a symbolic
// link (never followed) or a folder with all it holds. True when something
// was removed and nothing failed.
bool removeAll(const boost::filesystem::path& path);

// Removes a file that `hold` holds in use, then releases the hold, so that
// no one else can take the file up between the two. Without a hold, or with
// one on another file than the one now at `path`, it removes nothing: that
// file is not known to be the one held.
bool removeHeld(const boost::filesystem::path& path, FileInUse& hold);

// How long a file whose writers cannot be told must have been left alone
// before it counts as no longer written.
constexpr std::chrono::milliseconds QUIET_PERIOD = std::chrono::seconds(5);

// Deletes a file only if it is still the one stamped (by the hold, or by
// stampOf), with the same size and last-write time, and no writer is known;
// a file whose writers cannot be told must have been quiet for QUIET_PERIOD.
// The hold goes in any case. Anything else keeps the file and says why.
Platform::Removal removeIfUnchanged(const boost::filesystem::path& path, FileInUse& hold);
Platform::Removal removeIfUnchanged(const boost::filesystem::path& path, const Platform::FileStamp& stamp);

// The entry at the path itself, a symbolic link not followed.
Platform::FileStamp stampOf(const boost::filesystem::path& path);

// Whether a file may still be written: a writer is known, or its writers
// cannot be told and it changed within QUIET_PERIOD. Null when it may not;
// otherwise why, as a short word ("openForWriting", "notQuiet").
const char* stillWritten(const boost::filesystem::path& path);

// The word that says why a removal kept its file; null for Removed.
const char* keptBecause(Platform::Removal removal);

// Moves a file that `hold` holds in use, as rename does, without letting go
// of it first; the hold goes once the file has moved and stays when it could
// not be moved. Without a hold, or with one on another file than the one at
// `oldPath`: rename, and the hold stays. True when the file moved.
bool renameHeld(const boost::filesystem::path& oldPath, const boost::filesystem::path& newPath, FileInUse& hold);

} // namespace LongPath
} // namespace Tellan
