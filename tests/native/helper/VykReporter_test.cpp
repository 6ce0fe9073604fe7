// The report pass over real folders with the real queue and the stand-in on
// loopback: what is sent, what is deleted, what is kept, and the records.

#include "QueueFixture.h"

#include "VykReporter.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <map>

using namespace QueueTests;
using Tellan::VykReporter;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::UnorderedElementsAreArray;

namespace {

const qint64 someTime = 1600000000;

// The reporter's outcome records so far: one per outcome it was told.
std::size_t outcomeCount(const TestSupport::RecordingSink& sink)
{
    return sink.linesWithEvent("logUploadSuccess").size() + sink.linesWithEvent("LogUploadFailed").size();
}

std::vector<std::string> sorted(std::vector<std::string> names)
{
    std::sort(names.begin(), names.end());
    return names;
}

// The files of a folder, hidden ones too, in code-unit order.
std::vector<std::string> namesIn(const QString& folder)
{
    std::vector<std::string> names;
    for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden))
        names.push_back(name.toStdString());
    return sorted(names);
}

// A child program of this test's folder, started with the given environment
// changes; empty value: removed.
class Child {
public:
    Child(const char* program, const QStringList& arguments, const std::map<QString, QString>& environment = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const auto& entry : environment) {
            if (entry.second.isEmpty())
                env.remove(entry.first);
            else
                env.insert(entry.first, entry.second);
        }
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(QString(ZORVIK_TEST_BIN_DIR "/") + program, arguments);
    }
    ~Child()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(10000);
        }
    }
    bool readLine(const QByteArray& expected)
    {
        while (!process.canReadLine()) {
            if (!process.waitForReadyRead(30000))
                return false;
        }
        return process.readLine().trimmed() == expected;
    }
    // Exit code, or -1 when it did not end normally in time.
    int finish()
    {
        process.closeWriteChannel();
        const bool finished = process.waitForFinished(120000);
        output = process.readAllStandardOutput().toStdString();
        errors = process.readAllStandardError().toStdString();
        if (!finished || process.exitStatus() != QProcess::NormalExit)
            return -1;
        return process.exitCode();
    }

    QProcess process;
    std::string output, errors;
};

std::size_t countOf(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

} // namespace

class Reporter : public QueueTest {
protected:
    std::unique_ptr<VykReporter> makeReporter() { return std::unique_ptr<VykReporter>(new VykReporter(options())); }

    bool waitForOutcomes(std::size_t count)
    {
        return pumpUntil([&] { return outcomeCount(*sink) >= count; }, std::chrono::seconds(60));
    }

    static void runPass(VykReporter& reporter) { ASSERT_TRUE(QMetaObject::invokeMethod(&reporter, "timerUpdate")); }

    QStringList processArguments() const
    {
        return {QString::number(server->port()), QString::fromStdString(certificates.caFile)};
    }
};

TEST_F(Reporter, PassSendsProductLogsAndCrashDumpsDeletesWhatMustGoAndSkipsTheRest)
{
    const QStringList sent = {"ZorvikMusicMigrator-v9.5.2.2478-210101-120000.log",
                              "ZorvikMusic-v9.5.2.2478-210101-120000.log", "ZorvikMusicInstaller-v1-210101-120000.log",
                              "ZorvikMusic-renderer-v1-210101-120000.log",
                              "ZorvikBrellin-browser-v1-210101-120000.log"};
    const QStringList skipped = {"zorvikmusic-v1-210101-120000.log", "ZorvikMusic-v1-2101-120000.log",
                                 "ZorvikMusic-v1-210101-120000.txt", "ZorvikMusicHelper.log"};
    for (const QString& name : sent)
        put(logs(), name, 100);
    for (const QString& name : skipped)
        put(logs(), name, 100);
    put(logs(), "ZorvikMusicHelper-v9.5.2.2478-201231-235959.log", 100);
    put(logs(), "ZorvikBrellinHelper-v1-201231-235959.log", 100);
    put(logs(), "ZorvikMusic-v1-210102-120000.log", 0);
    put(logs(), "ZorvikMusicInstaller-v1-210102-120000.log", 0);
    const QStringList dumpsSent = {"a.dmp", ".dmp"};
    for (const QString& name : dumpsSent)
        put(crashReports(), name, 5000);
    for (const char* name : {"a.DMP", "a.dmp.tmp", "sub/b.dmp"})
        put(crashReports(), name, 5000);

    const auto reporter = makeReporter();
    // The outcomes wait for this thread's event loop: until it runs, every
    // sent file is still there.
    ASSERT_TRUE(server->waitForRequests(7, std::chrono::seconds(60)));
    ASSERT_TRUE(waitUntilIdle(reporter->uploader()));
    EXPECT_TRUE(QFile::exists(logs() + "/" + sent[0]));
    EXPECT_EQ(outcomeCount(*sink), 0u);

    ASSERT_TRUE(waitForOutcomes(7));
    std::vector<std::string> expectedSent;
    for (const QString& name : sent + dumpsSent)
        expectedSent.push_back(name.toStdString());
    EXPECT_EQ(sorted(receivedNames(*server)), sorted(expectedSent));
    EXPECT_EQ(namesIn(logs()), sorted({"ZorvikMusic-v1-210101-120000.txt", "ZorvikMusic-v1-2101-120000.log",
                                       "ZorvikMusicHelper.log", "zorvikmusic-v1-210101-120000.log"}));
    EXPECT_EQ(namesIn(crashReports()), sorted({"a.DMP", "a.dmp.tmp"}));
    EXPECT_TRUE(QFile::exists(crashReports() + "/sub/b.dmp"));

    const auto successes = records("I", "VykReporter", "logUploadSuccess");
    ASSERT_EQ(successes.size(), 7u);
    // The name is the whole absolute path.
    EXPECT_EQ(sink->linesContaining(
                      " : I VykReporter : logUploadSuccess : function = Tellan>VykReporter>uploadSuccess , name = "
                      + (logs() + "/" + sent[1]).toStdString() + " : line ")
                  .size(),
              1u);
    EXPECT_EQ(sink->linesContaining("name = " + (crashReports() + "/.dmp").toStdString() + " : line ").size(), 1u);
    std::vector<std::string> skippedNames;
    for (const std::string& line : records("I", "VykReporter", "skippingLogFile")) {
        const std::string key = "filename = ";
        const std::size_t at = line.find(key) + key.size();
        skippedNames.push_back(line.substr(at, line.find(" , ", at) - at));
        EXPECT_THAT(line, HasSubstr(" , function = Tellan>VykReporter>uploadLogFiles : line "));
    }
    EXPECT_EQ(sorted(skippedNames), sorted({"zorvikmusic-v1-210101-120000.log", "ZorvikMusic-v1-2101-120000.log",
                                            "ZorvikMusic-v1-210101-120000.txt", "ZorvikMusicHelper.log"}));
    EXPECT_EQ(sink->linesWithEvent("LogUploadFailed").size(), 0u);
    EXPECT_EQ(sink->linesWithEvent("logFileDeletionError").size(), 0u);
    // TRACE records are never written.
    EXPECT_EQ(sink->linesContaining("<< UPLOADING >>").size(), 0u);

    // The next pass skips the same files again and sends nothing.
    sink->clear();
    runPass(*reporter);
    ASSERT_TRUE(waitUntilIdle(reporter->uploader()));
    EXPECT_EQ(server->requests().size(), 7u);
    EXPECT_EQ(records("I", "VykReporter", "skippingLogFile").size(), 4u);
    EXPECT_EQ(sink->linesContaining("filename = ZorvikMusicHelper.log , ").size(), 1u);
}

TEST_F(Reporter, OutcomesOtherThanSuccessDeleteOnlyWhatWasRefusedForGood)
{
    struct Case {
        const char* name;
        std::vector<StandIn::Reply> replies;
        // The reporter's records, in order: level letter, component, event, first fields.
        std::vector<std::string> records;
        // Whether the file was still there when each failure had been handled.
        std::vector<bool> keptAfterFailures;
    };
    const std::vector<Case> cases = {
        {"refused",
         {{StandIn::Behaviour::Status, 403}},
         {"I VykReporter : LogFileDiscarded : archivePath =  , function = Tellan>VykReporter>uploadFailure : ",
          "E VykReporter : LogUploadFailed : error = 0 , function = Tellan>VykReporter>uploadFailure , httpCode = 403 , "},
         {false}},
        {"server error, then accepted",
         {{StandIn::Behaviour::Status, 500}, {StandIn::Behaviour::Status, 200}},
         {"E VykReporter : LogUploadFailed : error = 0 , function = Tellan>VykReporter>uploadFailure , httpCode = 500 , ",
          "I VykReporter : logUploadSuccess : function = Tellan>VykReporter>uploadSuccess , "},
         {true}},
        {"dropped, then accepted",
         {{StandIn::Behaviour::DropWithoutClose, 0}, {StandIn::Behaviour::Status, 200}},
         {"E VykReporter : LogUploadFailed : error = -1 , function = Tellan>VykReporter>uploadFailure , httpCode = 0 , ",
          "I VykReporter : logUploadSuccess : function = Tellan>VykReporter>uploadSuccess , "},
         {true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server = startServer(certificates);
        server->setReplies(c.replies, {StandIn::Behaviour::Status, 200});
        sink->clear();
        const QString path = put(logs(), "ZorvikMusic-v1-210101-120000.log", 10);
        std::vector<bool> keptAfterFailures;
        // The first pass's upload waits until the failure is watched too.
        UploadThreadGate gate;
        const auto reporter = makeReporter();
        QObject::connect(reporter->uploader().get(), &Tellan::OpsFileUploader::uploadFailure, reporter.get(),
                         [&] { keptAfterFailures.push_back(QFile::exists(path)); });
        gate.open();
        const std::size_t outcomes = std::count_if(c.records.begin(), c.records.end(), [](const std::string& r) {
            return r.find(" : LogUploadFailed : ") != std::string::npos
                   || r.find(" : logUploadSuccess : ") != std::string::npos;
        });
        ASSERT_TRUE(waitForOutcomes(outcomes));
        ASSERT_TRUE(waitUntilIdle(reporter->uploader()));
        QCoreApplication::processEvents();

        std::vector<std::string> seen;
        for (const std::string& line : sink->lines()) {
            if (line.find(" VykReporter : ") != std::string::npos)
                seen.push_back(line);
        }
        ASSERT_EQ(seen.size(), c.records.size());
        for (std::size_t i = 0; i < seen.size(); ++i)
            EXPECT_THAT(seen[i], HasSubstr(c.records[i])) << i;
        EXPECT_THAT(seen.back(), HasSubstr("name = " + path.toStdString() + " : line "));
        // Deleted in every case, the refused file before its failure record.
        EXPECT_FALSE(QFile::exists(path));
        EXPECT_EQ(keptAfterFailures, c.keptAfterFailures);
        EXPECT_EQ(server->requests().size(), c.replies.size());
    }
}

TEST_F(Reporter, FileStillBeingWrittenIsKeptUnsentUntilItsWriterIsDone)
{
    const QString path = put(crashReports(), "writing.dmp", 100);
    // Just created by its writer: empty, but not to be deleted from under it.
    const QString emptyLog = put(logs(), "ZorvikMusic-v1-210101-120000.log", 0);
    Child writer("HoldOpen_child", {path});
    Child logWriter("HoldOpen_child", {emptyLog});
    ASSERT_TRUE(writer.readLine("ready"));
    ASSERT_TRUE(logWriter.readLine("ready"));

    const auto reporter = makeReporter();
    ASSERT_TRUE(waitForOutcomes(1));
    EXPECT_EQ(server->connectionCount(), 0u);
    EXPECT_TRUE(QFile::exists(path));
    const auto failed = records("E", "VykReporter", "LogUploadFailed");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_THAT(failed[0],
                HasSubstr(" : error = 0 , function = Tellan>VykReporter>uploadFailure , httpCode = 0 , name = "
                          + path.toStdString() + " : line "));
    EXPECT_THAT(records("W", "OpsFileUploader", "UploadNotStarted"),
                ElementsAre(HasSubstr("reason = openForWriting : line ")));

    EXPECT_TRUE(QFile::exists(emptyLog));

    ASSERT_EQ(writer.finish(), 0);
    ASSERT_EQ(logWriter.finish(), 0);
    runPass(*reporter);
    ASSERT_TRUE(waitForOutcomes(2));
    EXPECT_THAT(receivedNames(*server), ElementsAre("writing.dmp"));
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_FALSE(QFile::exists(emptyLog));
}

TEST_F(Reporter, CrowdedLogsFolderIsCutToTheHundredNewestBeforeAnythingIsSent)
{
    std::vector<std::string> newest;
    for (int i = 0; i < 150; ++i) {
        const QString name = QString("ZorvikMusic-v1-210101-%1.log").arg(100000 + i);
        put(logs(), name, 10, someTime + i);
        if (i >= 50)
            newest.push_back(name.toStdString());
    }
    const auto reporter = makeReporter();
    ASSERT_TRUE(waitForOutcomes(100));
    ASSERT_TRUE(waitUntilIdle(reporter->uploader()));
    EXPECT_EQ(sorted(receivedNames(*server)), sorted(newest));
    EXPECT_TRUE(namesIn(logs()).empty());
    EXPECT_EQ(sink->linesWithEvent("LogUploadFailed").size(), 0u);
}

TEST_F(Reporter, TimerRepeatsEveryFiveMinutesWhileStarted)
{
    const auto reporter = makeReporter();
    QTimer* timer = reporter->findChild<QTimer*>();
    ASSERT_NE(timer, nullptr);
    EXPECT_FALSE(timer->isActive());
    reporter->start();
    EXPECT_TRUE(timer->isActive());
    EXPECT_FALSE(timer->isSingleShot());
    EXPECT_EQ(timer->interval(), 300000);
    reporter->stop();
    EXPECT_FALSE(timer->isActive());
}

TEST_F(Reporter, TwoHelperProcessesPassingTogetherSendEachFileOnce)
{
    std::vector<std::string> names;
    for (int i = 0; i < 24; ++i) {
        const QString name = QString("ZorvikMusic-v1-210101-%1.log").arg(120000 + i);
        put(logs(), name, 20000);
        names.push_back(name.toStdString());
    }
    for (int i = 0; i < 6; ++i) {
        const QString name = QString("dump-%1.dmp").arg(i);
        put(crashReports(), name, 50000);
        names.push_back(name.toStdString());
    }

    Child first("ReporterPass_child", processArguments() << "wait");
    Child second("ReporterPass_child", processArguments() << "wait");
    ASSERT_TRUE(first.process.waitForStarted(30000));
    ASSERT_TRUE(second.process.waitForStarted(30000));
    // Both begin their pass at once.
    for (Child* child : {&first, &second}) {
        child->process.write("go\n");
        ASSERT_TRUE(child->process.waitForBytesWritten(30000));
    }
    ASSERT_EQ(first.finish(), 0) << first.errors;
    ASSERT_EQ(second.finish(), 0) << second.errors;

    EXPECT_EQ(sorted(receivedNames(*server)), sorted(names));
    EXPECT_TRUE(namesIn(logs()).empty());
    EXPECT_TRUE(namesIn(crashReports()).empty());
    EXPECT_EQ(countOf(first.output, " : logUploadSuccess : ") + countOf(second.output, " : logUploadSuccess : "),
              names.size());
    EXPECT_EQ(countOf(first.output + second.output, " : logFileDeletionError : "), 0u);
}

TEST_F(Reporter, PassRunsUnderAnyLocaleWithANonAsciiHome)
{
    struct Case {
        const char* name;
        std::map<QString, QString> locale;
    };
    const Case cases[] = {
        {"LC_ALL=C", {{"LC_ALL", "C"}, {"LANG", ""}}},
        {"invalid LANG", {{"LC_ALL", ""}, {"LC_CTYPE", ""}, {"LANG", "xx_YY.NOT-A-CHARSET"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir base;
        const QString home = base.filePath(QString::fromUtf8("Zoë Ångström"));
        const QString productLogs = home + "/.local/share/Zorvik Music/Logs";
        // More files than the folder may hold, so that the pruning walks it.
        for (int i = 0; i < 100; ++i)
            put(productLogs, QString("old-%1.txt").arg(i), 1, someTime + i);
        const QString name = QString::fromUtf8("ZorvikMusic-v9.5-Å-210101-120000.log");
        put(productLogs, name, 10, someTime + 1000);

        std::map<QString, QString> environment = c.locale;
        environment["HOME"] = home;
        environment["XDG_DATA_HOME"] = home + "/.local/share";
        environment["XDG_CONFIG_HOME"] = home + "/.config";
        const std::size_t before = server->requests().size();
        Child child("ReporterPass_child", processArguments(), environment);
        ASSERT_EQ(child.finish(), 0) << child.errors;

        const auto received = receivedNames(*server);
        ASSERT_EQ(received.size(), before + 1);
        EXPECT_EQ(received.back(), name.toStdString());
        EXPECT_FALSE(QFile::exists(productLogs + "/" + name));
        EXPECT_FALSE(QFile::exists(productLogs + "/old-0.txt"));
        EXPECT_TRUE(QFile::exists(productLogs + "/old-1.txt"));
        // The path's UTF-8 bytes, as they are.
        EXPECT_THAT(child.output, HasSubstr("name = " + (productLogs + "/" + name).toStdString() + " : line "));
    }
}
