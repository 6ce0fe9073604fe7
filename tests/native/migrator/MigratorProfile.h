#pragma once

// A temporary user profile for migrator tests: HOME of its own, with the
// product root at HOME/.local/share/Zorvik Music (Qt's generic data location
// with XDG_DATA_HOME unset), and a bin folder for a fake powershell.exe.

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

class Profile {
public:
    Profile()
    {
        EXPECT_TRUE(temp_.isValid());
        QDir(temp_.path()).mkpath(QStringLiteral("bin"));
        QDir(temp_.path()).mkpath(QStringLiteral("home/.local/share"));
    }

    QString home() const { return temp_.path() + QStringLiteral("/home"); }
    QString bin() const { return temp_.path() + QStringLiteral("/bin"); }
    QString productRoot() const { return home() + QStringLiteral("/.local/share/Zorvik Music"); }
    QString logsFolder() const { return productRoot() + QStringLiteral("/Logs"); }
    QString currentLog() const { return logsFolder() + QStringLiteral("/ZorvikMusicMigrator.log"); }
    QString marker() const { return productRoot() + QStringLiteral("/WinStoreDetected.txt"); }
    QString path(const QString& name) const { return temp_.path() + QLatin1Char('/') + name; }

    void makeLogsFolder() const { QDir().mkpath(logsFolder()); }
    void makeProductFolder() const { QDir().mkpath(productRoot()); }

    // A fake powershell.exe: /bin/sh running `body`.
    void fakePowershell(const std::string& body) const
    {
        const QString file = bin() + QStringLiteral("/powershell.exe");
        writeAll(file, QByteArray("#!/bin/sh\n") + QByteArray::fromStdString(body) + "\n");
        QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    QStringList logsFolderEntries() const
    {
        return QDir(logsFolder()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    }

    // The one archived log there is, checked by name, or "" when the folder
    // holds anything else.
    QString archivedLog() const
    {
        const QStringList entries = logsFolderEntries();
        static const QRegularExpression name(QStringLiteral("^ZorvikMusicMigrator-v9\\.5\\.2\\.2478-\\d{6}-\\d{6}\\.log$"));
        if (entries.size() != 1 || !name.match(entries.front()).hasMatch()) {
            ADD_FAILURE() << "Logs folder holds: " << entries.join(QStringLiteral(", ")).toStdString();
            return QString();
        }
        return entries.front();
    }

    std::string archivedLogContent() const
    {
        const QString name = archivedLog();
        return name.isEmpty() ? "<none>" : readAll(logsFolder() + QLatin1Char('/') + name);
    }

private:
    QTemporaryDir temp_;
};

} // namespace MigratorTest
