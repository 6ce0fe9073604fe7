#pragma once

// The migrator's own log file, in the product's Logs folder: one UTF-8 line
// per message with CR LF line ends, no decoration. Every line opens and
// closes the file, so another process may read it while the migrator runs.
// Nothing here creates a folder or reports a failure.

#include "Text/Utf8.h"

#include <boost/filesystem/path.hpp>

#include <QDateTime>

#include <string>

// The product root, where the helper keeps its files too.
boost::filesystem::path musicDataDirectory();

// Logs/ZorvikMusicMigrator.log under the product root.
boost::filesystem::path migratorLogPath();

// "ZorvikMusicMigrator-v<version>-yyMMdd-hhmmss.log" for a local time.
std::string migratorArchiveName(const QDateTime& localTime);

// UTF-16 units to UTF-8; invalid sequences (unpaired surrogates) are dropped.
std::string wideToUtf8(const std::wstring& text);

// Deletes a log left by an earlier run, unsent, and writes the version line.
void startMigratorLog();

void appendMigratorLog(const std::wstring& message);

// The messages are ASCII literals.
inline void appendMigratorMessage(const char* message) { appendMigratorLog(utf8ToWide(message)); }

// Renames the log to its archived name, stamped with the local time now; a
// file of that name (a run in the same second) is replaced.
void archiveMigratorLog();
