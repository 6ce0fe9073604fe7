// The helper's message content and its entry's platform steps, in process.
#include "HelperApp.h"
#include "HelperMain.h"

#include "ScriptedPlatform.h"
#include "ScriptedSession.h"

#include "Platform/Elevation.h"
#include "Platform/Threads.h"
#include "Platform/Version.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDataStream>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Tellan::decodeArguments;
using Tellan::Platform::ScopedInstall;

QByteArray streamOf(const QStringList& list)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_4_8);
    out << list;
    return bytes;
}

QByteArray countThen(quint32 count, const QStringList& elements)
{
    QByteArray bytes = streamOf(elements);
    QDataStream patch(&bytes, QIODevice::WriteOnly);
    patch << count;
    return bytes;
}

QString base64(const QByteArray& bytes) { return QString::fromLatin1(bytes.toBase64()); }

TEST(HelperArguments, EncodedListIsTheQt48StreamOfTheArgumentsInBase64)
{
    int argc = 3;
    char program[] = "/opt/zorvik/zorvik-music-helper";
    char kill[] = "--kill";
    char other[] = "caf\xc3\xa9";
    char* argv[] = {program, kill, other, nullptr};
    QCoreApplication app(argc, argv);

    const QString encoded = Tellan::encodeArguments();
    // Count 3, then each string's byte length and UTF-16 units, big-endian.
    QByteArray expected("\0\0\0\3", 4);
    for (const QString& s : QStringList{QCoreApplication::arguments().first(), "--kill", "caf\u00e9"}) {
        QByteArray units;
        for (const QChar c : s)
            units += char(c.unicode() >> 8), units += char(c.unicode() & 0xff);
        const quint32 n = quint32(units.size());
        const char length[] = {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
        expected += QByteArray(length, 4) + units;
    }
    EXPECT_EQ(QByteArray::fromBase64(encoded.toLatin1()).toHex(), expected.toHex());
    EXPECT_EQ(decodeArguments(encoded), QCoreApplication::arguments());
}

TEST(HelperArguments, DecodingKeepsEveryCompleteElementAndReservesNothingForTheCount)
{
    const QStringList two{"/path/helper", "--kill"};
    const QByteArray whole = streamOf(two);
    const struct {
        const char* what;
        QString message;
        QStringList expected;
    } cases[] = {
        {"whole list", base64(whole), two},
        {"empty list", base64(streamOf({})), {}},
        {"empty message", QString(), {}},
        {"not base64 of a list", "!!!! not a list ####", {}},
        {"cut inside the second element", base64(whole.left(whole.size() - 3)), {"/path/helper"}},
        {"cut inside the count", base64(whole.left(2)), {}},
        {"count near 2^31, two elements", base64(countThen(0x7FFFFFF0u, two)), two},
        {"count 2^32-1, two elements", base64(countThen(0xFFFFFFFFu, two)), two},
        {"count 2^28, nothing after", base64(countThen(0x10000000u, {})), {}},
        {"count 1 of two", base64(countThen(1, two)), {"/path/helper"}},
        {"odd byte length", base64(QByteArray("\0\0\0\1\0\0\0\3abc", 11)), {}},
        {"null string element", base64(QByteArray("\0\0\0\1\xff\xff\xff\xff", 8)), {QString()}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decodeArguments(c.message), c.expected) << c.what;
}

TEST(HelperEntry, ElevationPolicyRefreshedFromVersionSixWhenTheFunctionIsThere)
{
    const struct {
        std::uint32_t major;
        bool present;
        bool failVersion;
        int calls;
    } cases[] = {
        {10, true, false, 1}, {6, true, false, 1}, {5, true, false, 0}, {10, false, false, 0}, {10, true, true, 0},
    };
    for (const auto& c : cases) {
        TestSupport::ScriptedVersion version(c.major, 0, Tellan::Platform::VER_NT_WORKSTATION);
        version.failGetVersion = c.failVersion;
        TestSupport::ScriptedElevation elevation;
        elevation.present = c.present;
        ScopedInstall<Tellan::Platform::Version> installVersion(&version);
        ScopedInstall<Tellan::Platform::Elevation> installElevation(&elevation);
        Tellan::refreshElevationPolicy();
        EXPECT_EQ(elevation.calls, c.calls) << c.major << " " << c.present << " " << c.failVersion;
    }
}

TEST(HelperEntry, OnlyTheExactOptionWaitsForADebugger)
{
    {
        // Without a debugger, a wait would never end: these must return.
        TestSupport::ScriptedDebugger debugger;
        ScopedInstall<Tellan::Platform::Threads> install(&debugger);
        for (const wchar_t* line :
             {L"helper", L"helper --WAITDEBUGGER", L"helper --waitdebugger", L"--wait Debugger", L""})
            Tellan::waitForDebugger(line);
        EXPECT_EQ(debugger.questions, 0);
    }
    for (const wchar_t* line : {L"helper --waitDebugger", L"helper x--waitDebuggerx", L"a --waitDebugger"}) {
        // Asked until the debugger is there.
        TestSupport::ScriptedDebugger debugger;
        debugger.attachesAt = 3;
        ScopedInstall<Tellan::Platform::Threads> install(&debugger);
        Tellan::waitForDebugger(line);
        EXPECT_EQ(debugger.questions, 3);
    }
}

// The option is looked for in the arguments only: a program installed under a
// folder whose name holds it starts without waiting.
TEST(HelperEntry, DebuggerOptionIsReadFromTheArgumentsNotTheProgramPath)
{
    struct Case {
        std::vector<std::string> argv;
        std::wstring line;
        bool waits;
    };
    const Case cases[] = {
        {{"/a/--waitDebugger/helper", "a"}, L"a", false},
        {{"/opt/--waitDebugger/zorvik-music-helper", "--kill"}, L"--kill", false},
        {{"/opt/helper", "--kill", "--waitDebugger"}, L"--kill --waitDebugger", true},
        {{"/opt/helper", "x--waitDebuggerx"}, L"x--waitDebuggerx", true},
        {{"/opt/helper"}, L"", false},
    };
    for (const Case& c : cases) {
        std::vector<char*> argv;
        for (const std::string& word : c.argv)
            argv.push_back(const_cast<char*>(word.c_str()));
        const std::wstring line = Tellan::rawCommandLine(int(argv.size()), argv.data());
        EXPECT_EQ(line, c.line) << c.argv.front();

        TestSupport::ScriptedDebugger debugger;
        debugger.attachesAt = 2;
        ScopedInstall<Tellan::Platform::Threads> install(&debugger);
        Tellan::waitForDebugger(line.c_str());
        EXPECT_EQ(debugger.questions, c.waits ? 2 : 0) << c.argv.front();
    }
}

} // namespace
