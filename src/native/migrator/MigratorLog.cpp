#include "MigratorLog.h"
#include "MigratorConstants.h"

#include "LongPath/LongPath.h"
#include "Storage/Storage.h"
#include "Text/CrLf.h"
#include "Text/WideText.h"

#include <QLocale>
#include <QString>

#include <boost/filesystem/fstream.hpp>
#include <boost/locale/encoding_utf.hpp>

namespace fs = boost::filesystem;

fs::path musicDataDirectory() { return Tellan::LongPath::fromText(Tellan::Storage::productRootDirectory()); }

fs::path migratorLogPath()
{
    return musicDataDirectory() / Migrator::LOGS_FOLDER
           / (std::string(Migrator::LOG_BASE_NAME) + Migrator::LOG_EXTENSION);
}

std::string migratorArchiveName(const QDateTime& localTime)
{
    return std::string(Migrator::LOG_BASE_NAME) + "-v" + Migrator::VERSION
           + "-"
           // The C locale: Qt 5 would otherwise write the user's digits, and
           // the name must keep its two groups of six ASCII digits.
           + QLocale::c().toString(localTime, QLatin1String(Migrator::ARCHIVE_STAMP_FORMAT)).toStdString()
           + Migrator::LOG_EXTENSION;
}

std::string wideToUtf8(const std::wstring& text)
{
    const QString units = Tellan::Text::fromWide(text);
    const auto* begin = reinterpret_cast<const char16_t*>(units.utf16());
    return boost::locale::conv::utf_to_utf<char>(begin, begin + units.size(), boost::locale::conv::skip);
}

void startMigratorLog()
{
    const fs::path logPath = migratorLogPath();
    if (Tellan::LongPath::exists(logPath))
        Tellan::LongPath::remove(logPath);
    appendMigratorLog(utf8ToWide(std::string("logFile for migrator, version: ") + Migrator::VERSION));
}

void appendMigratorLog(const std::wstring& message)
{
    fs::ofstream log(migratorLogPath(), std::ios::out | std::ios::app | std::ios::binary);
    if (!log)
        return;
    // The log is a Windows text file: every line feed is CR LF on disk.
    std::string line;
    Tellan::Text::appendWithCrLf(line, wideToUtf8(message) + "\n");
    log << line << std::flush;
}

void archiveMigratorLog()
{
    const fs::path logPath = migratorLogPath();
    Tellan::LongPath::rename(logPath, logPath.parent_path() / migratorArchiveName(QDateTime::currentDateTime()));
}
