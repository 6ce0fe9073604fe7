#include "DeviceIdFacts.h"

#include "SystemInfo/SystemInfo.h"

#include "ChildProgram.h"
#include "OwnProcess.h"
#include "Printers.h"
#include "RecordText.h"
#include "RecordingSink.h"
#include "TempProfile.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <boost/uuid/detail/sha1.hpp>

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>
#include <vector>

namespace SystemInfo = Zorvik::SystemInfo;

namespace {

typedef std::vector<std::string> Lines;

const char kSaltHex[] = "d07a3c91e5b84f2a6c19e0b7f4a2d853";

// SHA-1 by another implementation than the one under test.
std::string independentSha1(const std::string& bytes)
{
    boost::uuids::detail::sha1 sha;
    sha.process_bytes(bytes.data(), bytes.size());
    boost::uuids::detail::sha1::digest_type digest;
    sha.get_digest(digest);
    char text[41];
    for (int i = 0; i < 5; ++i)
        std::snprintf(text + 8 * i, 9, "%08x", digest[i]);
    return std::string(text, 40);
}

std::string salt() { return QByteArray::fromHex(kSaltHex).toStdString(); }

std::string expectedId(bool failing) { return "ZRVK01" + independentSha1(DeviceIdFacts::hashInput(failing) + salt()); }

struct ChildRun {
    int exitCode = -1;
    std::string id;
    Lines records;
};

// The child program in the profile, so that its settings live there.
ChildRun runChild(const TestSupport::TempProfile& profile, const QStringList& arguments)
{
    TestSupport::ChildProgram child(TestSupport::testProgram("DeviceId_child"), arguments, profile.environment());
    ChildRun run;
    run.exitCode = child.finish();
    EXPECT_EQ(run.exitCode, 0) << child.commandLine() << "\n" << child.errors().constData();
    const QList<QByteArray> lines = child.output().split('\n');
    if (!lines.isEmpty())
        run.id = lines.first().toStdString();
    for (int i = 1; i < lines.size(); ++i)
        if (!lines[i].isEmpty())
            run.records.push_back(lines[i].toStdString());
    return run;
}

void writeStoredId(const TestSupport::TempProfile& profile, const QString& id)
{
    QSettings settings(profile.settingsFile(), QSettings::IniFormat);
    settings.setValue("device_id", id);
}

QString storedId(const TestSupport::TempProfile& profile)
{
    QSettings settings(profile.settingsFile(), QSettings::IniFormat);
    return settings.value("device_id").toString();
}

const char kGenerating[] =
    "      Helper INFO in SharedStorage function Tellan::SharedStorage::getDeviceId : Generating New Device Id";
const char kSaved[] = "      Helper INFO in SharedStorage function Tellan::SharedStorage::saveDeviceIdToSettings :";

std::string generatedRecord(const std::string& id)
{
    return "      Helper INFO in SystemInfoWin function Zorvik::SystemInfo::generateDeviceId : DeviceID Generated: "
           + id;
}

} // namespace

TEST(DeviceIdDigest, Sha1HexAndBytesToHexAreLowerCaseDigits)
{
    EXPECT_EQ(SystemInfo::sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(SystemInfo::sha1Hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    const std::string binary("\0\xff\x80 x", 5);
    EXPECT_EQ(SystemInfo::sha1Hex(binary), independentSha1(binary));
    EXPECT_EQ(SystemInfo::bytesToHex(QByteArray("\x0a\xff\x00\x5c", 4)), "0aff005c");
    EXPECT_EQ(SystemInfo::bytesToHex(QByteArray()), "");
    EXPECT_EQ(SystemInfo::deviceIdSalt().size(), 16);
    EXPECT_EQ(SystemInfo::bytesToHex(SystemInfo::deviceIdSalt()), kSaltHex);
}

// The id is kept for the rest of the process: the test runs in one of its
// own.
TEST(DeviceIdGenerator, HashesTheSixSourcesAndTheSaltOnceForEveryThreadThatAsks)
{
    if (!TestSupport::inOwnProcess())
        return TestSupport::runInOwnProcess();
    auto& sink = TestSupport::installRecordingSink();
    DeviceIdFacts::Facts facts(false);
    const std::string expected = expectedId(false);

    std::vector<std::string> ids(4);
    std::vector<std::thread> threads;
    for (auto& id : ids)
        threads.emplace_back([&id] { id = SystemInfo::generateDeviceId(); });
    for (auto& t : threads)
        t.join();

    EXPECT_EQ(ids, std::vector<std::string>(4, expected));
    ASSERT_EQ(expected.size(), 46u);
    EXPECT_EQ(expected.find_first_not_of("0123456789abcdef", 6), std::string::npos);

    // Each probe ran once, for the first caller only.
    EXPECT_EQ(facts.machine.callCount("getComputerName"), 1);
    EXPECT_EQ(facts.machine.callCount("getHostName"), 1);
    EXPECT_EQ(facts.machine.callCount("getVolumeInformation"), 1);
    const Lines journal = facts.com.journal();
    EXPECT_EQ(std::count(journal.begin(), journal.end(), "CoInitializeEx coInit=2"), 1);
    int registryOpens = 0;
    for (const auto& call : facts.registry.calls())
        registryOpens += call.what == "open";
    EXPECT_EQ(registryOpens, 2);

    // Every call says which id it hands out; the sources never reach the log.
    EXPECT_EQ(TestSupport::recordTexts(sink), Lines(4, generatedRecord(expected)));
    EXPECT_EQ(SystemInfo::generateDeviceId(), expected);
    EXPECT_EQ(facts.machine.callCount("getComputerName"), 1);
    EXPECT_EQ(sink.lines().size(), 5u);
}

TEST(DeviceIdStorage, AMissingIdIsGeneratedFromTheProbesAndStored)
{
    TestSupport::TempProfile profile;
    const ChildRun run = runChild(profile, {"scripted"});
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.id, expectedId(false));
    EXPECT_EQ(run.records, (Lines{kGenerating, generatedRecord(run.id), kSaved}));
    EXPECT_EQ(storedId(profile).toStdString(), run.id);
}

TEST(DeviceIdStorage, FailedProbesAreHashedWithTheirFallbacksAfterTheirRecords)
{
    TestSupport::TempProfile profile;
    const ChildRun run = runChild(profile, {"failing"});
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.id, expectedId(true));
    const std::string probe = "TellanHelper : ";
    EXPECT_EQ(run.records,
              (Lines{kGenerating,
                     probe
                         + "W SystemInfoWin : initialOpenOfProductIdRegistryFailed : errorCode = 2 , "
                           "function = Zorvik>SystemInfo>getWindowsLicense : ",
                     probe
                         + "W SystemInfoWin : initialOpenOfMachineGUIDRegistryFailed : errorCode = 2 , "
                           "function = Zorvik>SystemInfo>getMachineGUID : ",
                     probe
                         + "E SystemInfoWin : getComputerNameFailed : error = Access is denied. , errorCode = 5 , "
                           "function = Zorvik>SystemInfo>getMachineSID : ",
                     probe
                         + "E SystemInfoWin : wsaStartupFailed : errorCode = 10091 , "
                           "function = Zorvik>SystemInfo>getHostname : ",
                     probe
                         + "E SystemInfoWin : getHostNameFailed : errorCode = 10093 , "
                           "function = Zorvik>SystemInfo>getHostname : ",
                     probe
                         + "E SystemInfoWin : connectToWMIFailed : errorCode = IDispatch error #3598 , "
                           "function = `anonymous-namespace'>GetWbemService : ",
                     probe
                         + "E SystemInfoWin : getWbemServiceFailed : errorCode = IDispatch error #3598 , "
                           "function = `anonymous-namespace'>getPropertyFromCOMAPI : ",
                     probe
                         + "E SystemInfoWin : getVolumeInformationFailed : error = The device is not ready. , "
                           "errorCode = 21 , function = Zorvik>SystemInfo>getVolumeId : ",
                     generatedRecord(run.id), kSaved}));
}

TEST(DeviceIdStorage, AStoredIdIsReturnedUnchangedAndAnEmptyOneCountsAsMissing)
{
    TestSupport::TempProfile profile;
    for (const QString& stored : {QStringLiteral("not-a-device-id"), QStringLiteral("ZRVK01"), QStringLiteral(" x ")}) {
        writeStoredId(profile, stored);
        const ChildRun run = runChild(profile, {"scripted"});
        ASSERT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.id, stored.toStdString());
        EXPECT_TRUE(run.records.empty());
        EXPECT_EQ(storedId(profile), stored);
    }

    writeStoredId(profile, QString());
    const ChildRun run = runChild(profile, {"scripted"});
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.id, expectedId(false));
    EXPECT_EQ(run.records.size(), 3u);
    EXPECT_EQ(storedId(profile).toStdString(), run.id);
}

TEST(DeviceIdStorage, AStoredIdWithCommasIsReturnedAsTheTextThatWasStored)
{
    // Written by another program than Qt, which would quote the text: Qt
    // reads it as a list.
    TestSupport::TempProfile profile;
    for (const QByteArray& stored : {QByteArray("abc, def"), QByteArray("abc,def"), QByteArray("ZRVK01, ; note")}) {
        const QByteArray file = "[General]\ndevice_id=" + stored + "\n";
        QDir().mkpath(QFileInfo(profile.settingsFile()).absolutePath());
        QFile out(profile.settingsFile());
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(file);
        out.close();

        const ChildRun run = runChild(profile, {"scripted"});
        ASSERT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.id, stored.startsWith("ZRVK01") ? "ZRVK01," : stored.toStdString());
        EXPECT_TRUE(run.records.empty());
        QFile in(profile.settingsFile());
        ASSERT_TRUE(in.open(QIODevice::ReadOnly));
        EXPECT_EQ(in.readAll(), file);
    }
}

TEST(DeviceIdStorage, ThreadsThatFindNoIdAllGetAndStoreTheSameOne)
{
    TestSupport::TempProfile profile;
    const ChildRun run = runChild(profile, {"scripted", "threads"});
    ASSERT_EQ(run.exitCode, 0); // 3 would mean the threads disagreed
    EXPECT_EQ(run.id, expectedId(false));
    EXPECT_EQ(storedId(profile).toStdString(), run.id);
}

TEST(DeviceIdStorage, ThisMachinesIdIsStableAcrossProcessesAndKeptInTheSettingsFile)
{
    TestSupport::TempProfile profile;
    const ChildRun first = runChild(profile, {"native"});
    ASSERT_EQ(first.exitCode, 0);
    ASSERT_EQ(first.id.size(), 46u);
    EXPECT_EQ(first.id.compare(0, 6, "ZRVK01"), 0);
    EXPECT_EQ(first.id.find_first_not_of("0123456789abcdef", 6), std::string::npos);
    ASSERT_FALSE(first.records.empty());
    EXPECT_EQ(first.records.front(), kGenerating);
    EXPECT_EQ(first.records.back(), kSaved);

    QFile file(profile.settingsFile());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << profile.settingsFile().toStdString();
    EXPECT_TRUE(file.readAll().contains(("device_id=" + first.id).c_str()));
    file.close();

    const ChildRun second = runChild(profile, {"native"});
    ASSERT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.id, first.id);
    EXPECT_TRUE(second.records.empty());

    // Without the stored id the same facts give the same id again.
    ASSERT_TRUE(QFile::remove(profile.settingsFile()));
    const ChildRun third = runChild(profile, {"native"});
    ASSERT_EQ(third.exitCode, 0);
    EXPECT_EQ(third.id, first.id);
    EXPECT_EQ(third.records.front(), kGenerating);
}
