#pragma once

// The migrator's files in a temporary profile (TestSupport::TempProfile):
// its log, its archives and the marker, with the lines the log must hold.

#include "Printers.h"
#include "TempProfile.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

namespace MigratorTest {

inline const char* const VERSION_LINE = "logFile for migrator, version: 9.5.2.2478";
inline const char* const WINDOWS_10 = "running in windows 10 or later";
inline const char* const CHECKING = "running in standalone, checking for windows store app";
inline const char* const FOUND = "found windows store version, creating file for installer to see";
inline const char* const NOT_FOUND = "no windows store version found";
inline const char* const MARKER_CONTENT = "WinStoreAppFound";

// The log as it must be on disk: each line ends in CR LF.
inline std::string logOf(std::initializer_list<const char*> lines)
{
    std::string out;
    for (const char* line : lines)
        out += std::string(line) + "\r\n";
    return out;
}

inline std::string readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "<missing>";
    return file.readAll().toStdString();
}

inline void writeAll(const QString& path, const QByteArray& content)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

inline QString currentLog(const TestSupport::TempProfile& profile)
{
    return profile.logsFolder() + QStringLiteral("/ZorvikMusicMigrator.log");
}

inline QString marker(const TestSupport::TempProfile& profile)
{
    return profile.productRoot() + QStringLiteral("/WinStoreDetected.txt");
}

inline QStringList logsFolderEntries(const TestSupport::TempProfile& profile)
{
    return QDir(profile.logsFolder()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}

// The one archived log there is, checked by name, or "" when the Logs
// folder holds anything else.
inline QString archivedLog(const TestSupport::TempProfile& profile)
{
    const QStringList entries = logsFolderEntries(profile);
    static const QRegularExpression name(QStringLiteral("^ZorvikMusicMigrator-v9\\.5\\.2\\.2478-\\d{6}-\\d{6}\\.log$"));
    if (entries.size() != 1 || !name.match(entries.front()).hasMatch()) {
        ADD_FAILURE() << "Logs folder holds: " << entries.join(QStringLiteral(", ")).toStdString();
        return QString();
    }
    return entries.front();
}

inline std::string archivedLogContent(const TestSupport::TempProfile& profile)
{
    const QString name = archivedLog(profile);
    return name.isEmpty() ? "<none>" : readAll(profile.logsFolder() + QLatin1Char('/') + name);
}

} // namespace MigratorTest
