// The logging core sits below the machine facts: the probes and the device
// id log, so logging must not reach up to them. The log-file header, which
// needs both, lives in a source of its own above them.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <set>

namespace {

const QString sourceRoot = QStringLiteral(ZORVIK_SOURCE_DIR "/src/native/Util/src/");

// Every project include ("Folder/File.h") of a source.
QStringList projectIncludes(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("<unreadable>")};
    static const QRegularExpression include(QStringLiteral("^\\s*#\\s*include\\s*\"([^\"]+)\""),
                                            QRegularExpression::MultilineOption);
    QStringList out;
    auto it = include.globalMatch(QString::fromUtf8(file.readAll()));
    while (it.hasNext())
        out << it.next().captured(1);
    return out;
}

} // namespace

TEST(Layering, LoggingCoreIncludesNothingAboveIt)
{
    // What the logging core may build on.
    const std::set<QString> allowed = {"Logging/Log.h",        "Logging/LogRecord.h", "Logging/Logging.h",
                                       "Logging/WideAppend.h", "Logger/Logger.h",     "Logger/LoggerBase.h",
                                       "UserName/UserName.h",  "Text/WideText.h",     "Platform/Platform.h",
                                       "Platform/Account.h",   "Platform/Threads.h",  "Foundation/Lock.h"};
    QStringList sources = {"Logger/Logger.h", "Logger/Logger.cpp", "Logger/LoggerBase.h"};
    for (const QString& folder : {QStringLiteral("Logging"), QStringLiteral("UserName")})
        for (const QString& name : QDir(sourceRoot + folder).entryList({"*.h", "*.cpp"}, QDir::Files))
            sources << folder + "/" + name;
    ASSERT_GE(sources.size(), 9);

    for (const QString& source : sources)
        for (const QString& include : projectIncludes(sourceRoot + source))
            EXPECT_TRUE(allowed.count(include)) << source.toStdString() << " includes " << include.toStdString();
}
