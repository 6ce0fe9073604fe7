// What the report pass deletes when others act on its files meanwhile: a
// file replaced, appended to or linked while it is sent, one whose writers
// cannot be told, one another helper sends; and the helper's log under a home
// folder so long that its archived names pass the kernel's path limit.

#include "QueueFixture.h"

#include "ChildProgram.h"
#include "ScopedEnvironment.h"
#include "WaitUntil.h"

#include "Foundation/ProductConstants.h"
#include "LongPath/FileInUse.h"
#include "LongPath/LongPath.h"
#include "Platform/FileShare.h"
#include "Platform/Platform.h"
#include "ScriptedFileShare.h"
#include "SingleApplication/QtLocalPeer.h"
#include "VykReporter.h"

#include <QDeadlineTimer>
#include <QProcessEnvironment>
#include <QThread>

#include <gmock/gmock.h>

#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>

using namespace QueueTests;
using Tellan::VykReporter;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::SizeIs;

namespace {

void writeBytes(const QString& path, char byte, int count)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(QByteArray(count, byte)), count);
}

// Bytes of the files' contents that no request head holds.
const char fileByte = '\x01';
const char newByte = '\x02';
const char addedByte = '\x03';

qint64 sizeOf(const QString& path) { return QFileInfo(path).size(); }

// The file bytes a request carried: how many of `byte` its body holds.
std::size_t countIn(const StandIn::ReceivedRequest& request, char byte)
{
    return std::size_t(std::count(request.bytes.begin(), request.bytes.end(), byte));
}

} // namespace

// The real reporter and queue in this process; the stand-in lets a test act
// once a request has arrived whole and before its reply goes out.
class ReporterSafety : public QueueTest {
protected:
    void SetUp() override
    {
        QueueTest::SetUp();
        if (HasFatalFailure())
            return;
        StandIn::Options standIn;
        standIn.certificateFile = certificates.certificateFile;
        standIn.privateKeyFile = certificates.privateKeyFile;
        standIn.onRequest = [this](std::size_t index, const StandIn::ReceivedRequest& request, const StandIn::Reply&) {
            // Called under the lock: once onRequest has replaced it, no call
            // of the one before is still running.
            std::lock_guard<std::mutex> lock(mutex);
            if (beforeReply && request.complete)
                beforeReply(index);
        };
        server = std::make_unique<StandIn::Server>(standIn);
    }
    void TearDown() override
    {
        // Its thread calls beforeReply, which goes before the base's server.
        server.reset();
        if (writer >= 0)
            ::close(writer);
    }

    // Ends the calls of the test's act when the test body ends, also through
    // an assertion, before the locals it may use go.
    class Unhook {
    public:
        explicit Unhook(ReporterSafety& test) : test_(test) {}
        Unhook(const Unhook&) = delete;
        Unhook& operator=(const Unhook&) = delete;
        ~Unhook() { test_.onRequest(nullptr); }

    private:
        ReporterSafety& test_;
    };

    void onRequest(std::function<void(std::size_t)> act)
    {
        std::lock_guard<std::mutex> lock(mutex);
        beforeReply = std::move(act);
    }

    std::unique_ptr<VykReporter> makeReporter() { return std::unique_ptr<VykReporter>(new VykReporter(options())); }
    static void runPass(VykReporter& reporter) { ASSERT_TRUE(QMetaObject::invokeMethod(&reporter, "timerUpdate")); }

    std::size_t outcomeCount() const
    {
        return records("I", "VykReporter", "logUploadSuccess").size()
               + records("E", "VykReporter", "LogUploadFailed").size();
    }
    bool waitForOutcomes(std::size_t count)
    {
        return pumpUntil([&] { return outcomeCount() >= count; }, std::chrono::seconds(60));
    }

    std::mutex mutex;
    std::function<void(std::size_t)> beforeReply;
    // Opened and closed on the stand-in's thread, closed last by TearDown.
    std::atomic<int> writer{-1};
};

class ReporterSafetyReplies : public ReporterSafety, public testing::WithParamInterface<int> {};

TEST_P(ReporterSafetyReplies, FileReplacedWhileItsReplyIsHeldBackStaysAndIsSentNext)
{
    const int status = GetParam();
    server->setReplies({{StandIn::Behaviour::Status, status}});
    const QString sent = logs() + "/ZorvikMusic-v1-240102-030401.log";
    writeBytes(sent, fileByte, 30000);
    const QString replacement = logs() + "/new.tmp";
    writeBytes(replacement, newByte, 555);
    const Unhook unhook(*this);
    onRequest([sent, replacement](std::size_t index) {
        if (index == 0) {
            ASSERT_EQ(::rename(QFile::encodeName(replacement).constData(), QFile::encodeName(sent).constData()), 0);
        }
    });

    const auto reporter = makeReporter();
    ASSERT_TRUE(waitForOutcomes(1));
    ASSERT_TRUE(waitUntilIdle(reporter->uploader()));
    EXPECT_EQ(sizeOf(sent), 555);
    EXPECT_EQ(QDir(logs()).entryList(QDir::Files | QDir::Hidden), QStringList{QFileInfo(sent).fileName()});
    EXPECT_THAT(records("W", "VykReporter", "logFileKept"),
                testing::ElementsAre(HasSubstr("name = " + sent.toStdString() + " , reason = replaced : line ")));
    EXPECT_THAT(records("E", "VykReporter", "logFileDeletionError"), IsEmpty());

    // The next pass sends the new file whole, and deletes it after its 200.
    onRequest(nullptr);
    runPass(*reporter);
    ASSERT_TRUE(waitForOutcomes(2));
    const auto requests = server->requests();
    ASSERT_THAT(requests, SizeIs(2));
    EXPECT_EQ(countIn(requests[0], fileByte), 30000u);
    EXPECT_EQ(countIn(requests[1], newByte), 555u);
    EXPECT_EQ(countIn(requests[1], fileByte), 0u);
    EXPECT_FALSE(QFile::exists(sent));
}

INSTANTIATE_TEST_SUITE_P(AcceptedOrRefused, ReporterSafetyReplies, testing::Values(200, 403),
                         [](const testing::TestParamInfo<int>& info) { return "Status" + std::to_string(info.param); });

struct WriterCase {
    const char* name;
    // Bytes the writer appends once the service has the request.
    int appended;
    bool closedBeforeReply;
    const char* reason;
};

class ReporterSafetyWriters : public ReporterSafety, public testing::WithParamInterface<WriterCase> {};

TEST_P(ReporterSafetyWriters, FileWrittenDuringItsUploadIsKeptThenSentWhole)
{
    const WriterCase c = GetParam();
    const QString dump = crashReports() + "/growing.dmp";
    writeBytes(dump, fileByte, 100000);
    const Unhook unhook(*this);
    onRequest([this, dump, c](std::size_t index) {
        if (index != 0)
            return;
        // Its owner opens it once the service has the request.
        const int fd = ::open(QFile::encodeName(dump).constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        writer = fd;
        const std::string more(std::size_t(c.appended), addedByte);
        ASSERT_EQ(::write(fd, more.data(), more.size()), ssize_t(more.size()));
        if (c.closedBeforeReply) {
            writer = -1;
            ::close(fd);
        }
    });

    const auto reporter = makeReporter();
    ASSERT_TRUE(waitForOutcomes(1));
    ASSERT_TRUE(waitUntilIdle(reporter->uploader()));
    EXPECT_EQ(sizeOf(dump), 100000 + c.appended);
    // Back under its own name, nothing left aside.
    EXPECT_EQ(QDir(crashReports()).entryList(QDir::Files | QDir::Hidden), QStringList{"growing.dmp"});
    EXPECT_THAT(records("W", "VykReporter", "logFileKept"),
                testing::ElementsAre(HasSubstr("name = " + dump.toStdString() + " , reason = " + c.reason + " : ")));

    onRequest(nullptr);
    const int open = writer.exchange(-1);
    if (open >= 0)
        ::close(open);
    runPass(*reporter);
    ASSERT_TRUE(waitForOutcomes(2));
    const auto requests = server->requests();
    ASSERT_THAT(requests, SizeIs(2));
    EXPECT_EQ(countIn(requests[0], fileByte), 100000u);
    EXPECT_EQ(countIn(requests[1], fileByte), 100000u);
    EXPECT_EQ(countIn(requests[1], addedByte), std::size_t(c.appended));
    EXPECT_FALSE(QFile::exists(dump));
}

INSTANTIATE_TEST_SUITE_P(Writer, ReporterSafetyWriters,
                         testing::Values(WriterCase{"AppendsAndKeepsItOpen", 5000, false, "changed"},
                                         WriterCase{"AppendsAndClosesBeforeTheReply", 5000, true, "changed"},
                                         WriterCase{"OnlyHoldsItOpen", 0, false, "openForWriting"}),
                         [](const testing::TestParamInfo<WriterCase>& info) { return std::string(info.param.name); });

TEST_F(ReporterSafety, FileWhoseWritersCannotBeToldWaitsUntilQuietAndIsNotDeletedWhileWritten)
{
    // As for a file of another owner: no lease can tell its writers.
    TestSupport::ScriptedFileShare share;
    share.writersUnknown = true;
    // Quiet only when the test says so, however slowly the passes come.
    using Quiet = TestSupport::ScriptedFileShare::Quiet;
    share.quietness = Quiet::No;
    const Tellan::Platform::ScopedInstall<Tellan::Platform::FileShare> installed(&share);
    const Unhook unhook(*this);
    const QString log = logs() + "/ZorvikMusicInstaller-v1-240102-030401.log";
    writeBytes(log, fileByte, 1000);
    const QString empty = logs() + "/ZorvikMusic-v1-240102-030402.log";
    writeBytes(empty, fileByte, 0);

    // Just written: neither sent nor, when empty, deleted.
    const auto reporter = makeReporter();
    ASSERT_TRUE(waitForOutcomes(1));
    EXPECT_EQ(server->connectionCount(), 0u);
    EXPECT_THAT(records("W", "OpsFileUploader", "UploadNotStarted"),
                testing::ElementsAre(HasSubstr("reason = notQuiet : line ")));
    EXPECT_TRUE(QFile::exists(empty));
    EXPECT_THAT(records("W", "VykReporter", "logFileKept"),
                testing::ElementsAre(HasSubstr("name = " + empty.toStdString() + " , reason = notQuiet : line ")));

    // Left alone for the quiet period: sent, but written during the upload,
    // so kept.
    share.quietness = Quiet::Yes;
    onRequest([log, &share](std::size_t index) {
        if (index != 0)
            return;
        QFile file(log);
        ASSERT_TRUE(file.open(QIODevice::Append));
        ASSERT_EQ(file.write(QByteArray(10, addedByte)), 10);
        share.quietness = Quiet::No;
    });
    runPass(*reporter);
    ASSERT_TRUE(waitForOutcomes(2));
    ASSERT_TRUE(waitUntilIdle(reporter->uploader()));
    EXPECT_FALSE(QFile::exists(empty));
    EXPECT_EQ(sizeOf(log), 1010);
    EXPECT_THAT(server->requests(), SizeIs(1));

    // Quiet again: sent whole and deleted.
    onRequest(nullptr);
    share.quietness = Quiet::Yes;
    runPass(*reporter);
    ASSERT_TRUE(waitForOutcomes(3));
    const auto requests = server->requests();
    ASSERT_THAT(requests, SizeIs(2));
    EXPECT_EQ(countIn(requests[1], addedByte), 10u);
    EXPECT_FALSE(QFile::exists(log));
}

TEST_F(ReporterSafety, LinksNamedLikeLogsOrDumpsAreNeitherSentNorDeleted)
{
    const QString target = folder.filePath("elsewhere.txt");
    writeBytes(target, 'S', 100);
    const QStringList links = {
        logs() + "/ZorvikMusic-v1-240102-030401.log",
        logs() + "/ZorvikMusicHelper-v1-240102-030401.log",
        crashReports() + "/linked.dmp",
    };
    for (const QString& link : links)
        ASSERT_TRUE(QFile::link(target, link));
    const QString zero = logs() + "/ZorvikMusic-v1-240102-030402.log";
    ASSERT_TRUE(QFile::link("/dev/zero", zero));

    const auto reporter = makeReporter();
    ASSERT_TRUE(waitUntilIdle(reporter->uploader()));
    // Outcomes of anything queued would be posted by now.
    QCoreApplication::processEvents();
    EXPECT_EQ(server->connectionCount(), 0u);
    for (const QString& link : links + QStringList{zero}) {
        EXPECT_TRUE(QFileInfo(link).isSymLink()) << link.toStdString();
        EXPECT_THAT(records("W", "VykReporter", "symbolicLinkSkipped"),
                    testing::Contains(HasSubstr("name = " + link.toStdString() + " : line ")));
    }
    EXPECT_EQ(sizeOf(target), 100);
    EXPECT_THAT(records("E", "VykReporter", "LogUploadFailed"), IsEmpty());
    EXPECT_THAT(records("E", "OpsFileUpload", "logFileEmpty"), IsEmpty());
}

TEST_F(ReporterSafety, UploadOpensNoLinkPutAtTheNameAfterTheListing)
{
    const QString target = folder.filePath("elsewhere.txt");
    writeBytes(target, 'S', 100);
    const QString link = logs() + "/ZorvikMusic-v1-240102-030401.log";
    ASSERT_TRUE(QFile::link(target, link));
    const UploadTests::Outcome outcome = upload(link);
    EXPECT_FALSE(outcome.started);
    EXPECT_EQ(server->connectionCount(), 0u);
    EXPECT_THAT(records("E", "OpsFileUpload", "cannotOpenLogFile"), SizeIs(1));
}

TEST_F(ReporterSafety, FileAnotherHelperIsSendingIsNoFailedUpload)
{
    const QString log = logs() + "/ZorvikMusic-v1-240102-030401.log";
    writeBytes(log, 'A', 100);
    // Another helper process holds it while it sends it.
    TestSupport::ChildProgram other(TestSupport::testProgram("fileshare_child"), {"hold", log});
    ASSERT_EQ(other.nextLine(), "ready");

    const auto reporter = makeReporter();
    ASSERT_TRUE(pumpUntil([&] { return !records("W", "OpsFileUploader", "UploadNotStarted").empty(); }));
    ASSERT_TRUE(waitUntilIdle(reporter->uploader()));
    QCoreApplication::processEvents();
    EXPECT_THAT(records("W", "OpsFileUploader", "UploadNotStarted"),
                testing::ElementsAre(HasSubstr("reason = inUse : line ")));
    EXPECT_THAT(sink->linesContaining(" : E VykReporter : "), IsEmpty());
    EXPECT_THAT(sink->linesContaining(" : E OpsFileUploader : "), IsEmpty());
    EXPECT_TRUE(QFile::exists(log));
    other.closeInput();
    EXPECT_EQ(other.finish(), 0);
}

namespace {

// Removes a folder and all below it, however long its paths: each step is
// relative to the descriptor of its folder.
void removeTreeAt(int parent, const char* name)
{
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        ::unlinkat(parent, name, 0);
        return;
    }
    if (DIR* dir = ::fdopendir(fd)) {
        std::vector<std::string> entries;
        while (const dirent* entry = ::readdir(dir)) {
            const std::string entryName = entry->d_name;
            if (entryName != "." && entryName != "..")
                entries.push_back(entryName);
        }
        for (const std::string& entry : entries)
            removeTreeAt(::dirfd(dir), entry.c_str());
        ::closedir(dir);
    } else {
        ::close(fd);
    }
    ::unlinkat(parent, name, AT_REMOVEDIR);
}

// The contents of every file of a folder, read relative to its descriptor.
std::vector<QByteArray> filesIn(const QString& folder)
{
    std::vector<QByteArray> contents;
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!dir)
        return contents;
    while (const dirent* entry = ::readdir(dir)) {
        const int file = ::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_CLOEXEC);
        struct stat info {};
        if (file < 0)
            continue;
        if (::fstat(file, &info) == 0 && S_ISREG(info.st_mode)) {
            QFile read;
            if (read.open(file, QIODevice::ReadOnly))
                contents.push_back(read.readAll());
        }
        ::close(file);
    }
    ::closedir(dir);
    return contents;
}

using TestSupport::waitUntil;

} // namespace

// The real helper under a home folder whose Logs folder lies within the
// kernel's path limit while the archived names in it do not.
class LongHome : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(base.isValid());
        // The current log's path ends 6 bytes short of the limit; an archived
        // name is some 25 bytes longer.
        const QString tail = "/.local/share/Zorvik Music/Logs/ZorvikMusicHelper.log";
        home = base.path() + "/home";
        const int wanted = PATH_MAX - 6 - tail.size();
        while (home.size() < wanted)
            home += "/" + QString(std::min(200, wanted - int(home.size()) - 1), QLatin1Char('h'));
        ASSERT_EQ(home.size() + tail.size(), PATH_MAX - 6);
        for (const QString& folder : {home + "/.local/share", home + "/.config", home + "/.cache"})
            ASSERT_TRUE(QDir().mkpath(folder));
        ASSERT_TRUE(QDir().mkpath(base.path() + "/run"));
        ASSERT_EQ(::chmod(QFile::encodeName(base.path() + "/run").constData(), 0700), 0);

        environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", home);
        environment.insert("XDG_DATA_HOME", home + "/.local/share");
        environment.insert("XDG_CONFIG_HOME", home + "/.config");
        environment.insert("XDG_CACHE_HOME", home + "/.cache");
        environment.insert("XDG_RUNTIME_DIR", base.path() + "/run");
        environment.remove("TMPDIR");

        // The channel's names as the helpers make them.
        const TestSupport::ScopedEnvironment runtime("XDG_RUNTIME_DIR", base.path() + "/run");
        lockFile = QtLocalPeer(nullptr, QString::fromUtf8(Tellan::Constants::helperApplicationName)).serverName()
                   + "-lockfile";
    }
    void TearDown() override
    {
        // Qt cannot remove what lies past the limit.
        const int fd = ::open(QFile::encodeName(base.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            removeTreeAt(fd, "home");
            ::close(fd);
        }
    }

    QString logs() const { return home + "/.local/share/Zorvik Music/Logs"; }

    // The helper, found beside the product in a folder of its own.
    QString install(const QString& name)
    {
        const QString bin = base.path() + "/" + name;
        EXPECT_TRUE(QDir().mkpath(bin));
        const QString helper = bin + "/zorvik-music-helper";
        if (!QFile::exists(helper)) {
            EXPECT_TRUE(QFile::copy(ZORVIK_TEST_BIN_DIR "/zorvik-music-helper", helper));
        }
        const QString product = bin + "/" + QString::fromUtf8(Tellan::Constants::productName) + ".exe";
        QFile file(product);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\nexit 0\n");
        file.close();
        EXPECT_EQ(::chmod(QFile::encodeName(product).constData(), 0755), 0);
        return helper;
    }

    bool lockHeld() const
    {
        return Tellan::Platform::FileShare::native().isInUse(Tellan::LongPath::fromText(lockFile));
    }

    // Starts the helper, waits until it runs and answers, then stops it.
    void runOnce(const QString& helper)
    {
        TestSupport::ChildProgram running(helper, {}, environment);
        ASSERT_TRUE(running.started());
        ASSERT_TRUE(waitUntil([&] { return lockHeld() || !running.running(); }));
        TestSupport::ChildProgram probe(helper, {"ready?"}, environment);
        ASSERT_EQ(probe.finish(), 0) << probe.errors().constData();
        TestSupport::ChildProgram kill(helper, {"--kill"}, environment);
        EXPECT_EQ(kill.finish(), 0);
        EXPECT_EQ(running.finish(), 0) << running.errors().constData();
        ASSERT_TRUE(waitUntil([&] { return !lockHeld(); }));
    }

    QTemporaryDir base;
    QString home;
    QString lockFile;
    QProcessEnvironment environment;
};

TEST_F(LongHome, SecondRunsLinesAreInItsLog)
{
    runOnce(install("first"));
    const QString second = install("second");
    runOnce(second);
    const QByteArray secondsLine =
        " : I helper : settingTellanPath : function = Tellan>HelperApp>setTellanPath , path = "
        + QFile::encodeName(QFileInfo(second).path()) + " : line ";
    bool found = false;
    for (const QByteArray& content : filesIn(logs()))
        found = found || content.contains(secondsLine);
    EXPECT_TRUE(found) << "no log of the second run in " << logs().size() << " bytes of Logs path";
}

TEST_F(LongHome, ProductLogAndDumpWhosePathsPassTheLimitAreSentAndDeleted)
{
    const StandIn::TestCertificates certificates =
        StandIn::makeTestCertificates(base.path().toStdString(), {"localhost"}, {"127.0.0.1"});
    StandIn::Options options;
    options.certificateFile = certificates.certificateFile;
    options.privateKeyFile = certificates.privateKeyFile;
    StandIn::Server server(options);

    const QString dumps = home + "/.local/share/Zorvik Music/User Data/Crashpad/reports";
    ASSERT_TRUE(QDir().mkpath(logs()));
    ASSERT_TRUE(QDir().mkpath(dumps));
    const QStringList files = {logs() + "/ZorvikMusic-v1-240102-030401.log", dumps + "/long.dmp"};
    for (const QString& file : files) {
        const QString near = base.filePath("near");
        writeBytes(near, fileByte, 1000);
        Tellan::LongPath::rename(Tellan::LongPath::fromText(near), Tellan::LongPath::fromText(file));
        ASSERT_TRUE(Tellan::LongPath::exists(Tellan::LongPath::fromText(file)));
        ASSERT_GE(file.toUtf8().size(), PATH_MAX);
    }

    TestSupport::ChildProgram pass(TestSupport::testProgram("ReporterPass_child"),
                                   {QString::number(server.port()), QString::fromStdString(certificates.caFile)},
                                   environment);
    ASSERT_EQ(pass.finish(), 0) << pass.errors().constData();
    EXPECT_THAT(receivedNames(server), testing::UnorderedElementsAre("ZorvikMusic-v1-240102-030401.log", "long.dmp"));
    for (const QString& file : files)
        EXPECT_FALSE(Tellan::LongPath::exists(Tellan::LongPath::fromText(file))) << file.size();
    EXPECT_THAT(pass.output().toStdString(), testing::Not(HasSubstr(" : E ")));
}
