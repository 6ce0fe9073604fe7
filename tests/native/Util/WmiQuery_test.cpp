#include "SystemInfo/SystemInfo.h"

#include "Platform/Com.h"
#include "Platform/ComError.h"
#include "Platform/Platform.h"
#include "RecordText.h"
#include "RecordingSink.h"
#include "ScriptedCom.h"
#include "ScriptedMachine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

using namespace Tellan::Platform;
using TestSupport::ScriptedCom;
using TestSupport::ScriptedWmiObject;

namespace {

typedef std::vector<std::string> Lines;

const HRESULT E_ACCESSDENIED_RESULT = hresult(0x80070005u);

std::string errorRecord(const std::string& event, const std::string& function, const std::string& text)
{
    return "TellanHelper : E SystemInfoWin : " + event + " : errorCode = " + text
           + " , function = `anonymous-namespace'>" + function + " : ";
}

std::string queryFailed(const std::string& text)
{
    return "TellanHelper : E SystemInfoWin : COMQueryFailed : errorCode = " + text
           + " , function = `anonymous-namespace'>getPropertyFromCOMAPI , property = SerialNumber : ";
}

// The calls of a query that gets as far as a connection with its security.
const Lines kConnected = {
    "CoInitializeEx coInit=2",
    "CoInitializeSecurity services=-1 authn=0 imp=3 caps=0",
    "CoCreateInstance WbemLocator IWbemLocator context=1",
    "ConnectServer ROOT\\CIMV2",
    "CoSetProxyBlanket services authn=10 authz=0 level=3 imp=3 caps=0",
};

Lines connectedThen(const Lines& rest)
{
    Lines all = kConnected;
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
}

const char kQuery[] = "ExecQuery WQL \"SELECT SerialNumber FROM Win32_BIOS\" flags=48";
const char kNext[] = "Next timeout=-1 count=1";
const Lines kTeardown = {"Release services", "Release locator", "CoUninitialize"};

Lines plus(Lines a, const Lines& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct QueryCase {
    const char* name;
    std::function<void(ScriptedCom&)> setUp;
    std::string result;
    Lines records;
    Lines journal; // empty: only that COM was uninitialised once
};

class WmiQueryTest : public ::testing::Test {
protected:
    // One query against a fresh scripted COM; every interface handed out
    // must have been released exactly as often as it was referenced.
    void check(const QueryCase& c)
    {
        SCOPED_TRACE(c.name);
        ScriptedCom com;
        ScopedInstall<Com> install(&com);
        c.setUp(com);
        sink.clear();

        EXPECT_EQ(Zorvik::SystemInfo::getBiosSerialNumber(), c.result);
        EXPECT_EQ(TestSupport::recordTexts(sink), c.records);
        const Lines journal = com.journal();
        if (c.journal.empty()) {
            EXPECT_EQ(std::count(journal.begin(), journal.end(), "CoUninitialize"), 1);
        } else {
            EXPECT_EQ(journal, c.journal);
        }
        EXPECT_EQ(com.liveInterfaces(), 0);
        EXPECT_EQ(com.overReleases(), 0);
    }

    WmiQueryTest()
    {
        machine.messages = {
            {static_cast<std::uint32_t>(RPC_E_CHANGED_MODE), u"Cannot change thread mode after it is set.\r\n"},
            {static_cast<std::uint32_t>(RPC_E_TOO_LATE), u"Security must be initialized before any interfaces are "
                                                         u"marshalled or unmarshalled. It cannot be changed once "
                                                         u"initialized.\r\n"},
            {static_cast<std::uint32_t>(E_FAIL), u"Unspecified error\r\n"},
            {static_cast<std::uint32_t>(E_ACCESSDENIED_RESULT), u"Access is denied.\n"},
            {static_cast<std::uint32_t>(REGDB_E_CLASSNOTREG), u"Class not registered\r\n"},
        };
    }

    TestSupport::RecordingSink& sink = TestSupport::installRecordingSink();
    TestSupport::ScriptedMachine machine;
    ScopedInstall<Machine> installMachine{&machine};
};

} // namespace

TEST_F(WmiQueryTest, EveryFailureGivesTheEmptyTextWithItsRecordsAndReleasesWhatItHeld)
{
    const QueryCase cases[] = {
        {"thread in the multithreaded apartment",
         [](ScriptedCom& c) { c.initializeResult = RPC_E_CHANGED_MODE; },
         "",
         {errorRecord("systemInfoInitializeComFailed", "InitializeCom", "Cannot change thread mode after it is set."),
          errorRecord("getBIOSSNComInitFailed", "getPropertyFromCOMAPI", "Cannot change thread mode after it is set.")},
         {"CoInitializeEx coInit=2"}},
        {"security refused",
         [](ScriptedCom& c) { c.securityResult = E_ACCESSDENIED_RESULT; },
         "",
         {errorRecord("systemInfoInitializeSecurityFailed", "InitializeCom", "Access is denied."),
          errorRecord("getBIOSSNComInitFailed", "getPropertyFromCOMAPI", "Access is denied.")},
         {"CoInitializeEx coInit=2", "CoInitializeSecurity services=-1 authn=0 imp=3 caps=0", "CoUninitialize"}},
        {"no locator class",
         [](ScriptedCom& c) { c.createResult = REGDB_E_CLASSNOTREG; },
         "",
         {errorRecord("createWMIComInterfaceFailed", "GetWbemService", "Class not registered"),
          errorRecord("getWbemServiceFailed", "getPropertyFromCOMAPI", "Class not registered")},
         {kConnected[0], kConnected[1], kConnected[2], "CoUninitialize"}},
        {"WMI service unavailable",
         [](ScriptedCom& c) { c.connectResult = WBEM_E_INVALID_NAMESPACE; },
         "",
         {errorRecord("connectToWMIFailed", "GetWbemService", "IDispatch error #3598"),
          errorRecord("getWbemServiceFailed", "getPropertyFromCOMAPI", "IDispatch error #3598")},
         {kConnected[0], kConnected[1], kConnected[2], kConnected[3], "Release locator", "CoUninitialize"}},
        {"proxy security refused",
         [](ScriptedCom& c) { c.blanketResult = E_ACCESSDENIED_RESULT; },
         "",
         {errorRecord("setProxyBlanketFailed", "GetWbemService", "Access is denied."),
          errorRecord("getWbemServiceFailed", "getPropertyFromCOMAPI", "Access is denied.")},
         connectedThen({"Release services", "Release locator", "CoUninitialize"})},
        {"query refused",
         [](ScriptedCom& c) { c.queryResult = WBEM_E_INVALID_CLASS; },
         "",
         {errorRecord("iWbemServicesQueryFailed", "QueryValue", "IDispatch error #3600"),
          queryFailed("IDispatch error #3600")},
         connectedThen(plus({kQuery}, kTeardown))},
        {"Next fails: one record, no answer",
         [](ScriptedCom& c) {
             c.objects = {ScriptedWmiObject::string(u"SN-1")};
             c.failingNext = 0;
             c.nextResult = E_FAIL;
         },
         "",
         {errorRecord("iWbemServicesQueryEnumeratorNextFailed", "QueryValue", "Unspecified error")},
         connectedThen(plus({kQuery, kNext, "Release enumerator"}, kTeardown))},
        {"Get fails",
         [](ScriptedCom& c) {
             c.objects = {ScriptedWmiObject::string(u"SN-1")};
             c.objects[0].getResult = WBEM_E_NOT_FOUND;
         },
         "",
         {errorRecord("iWbemServicesQueryObjectGetFailed", "QueryValue", "IDispatch error #3586"),
          queryFailed("IDispatch error #3586")},
         connectedThen(plus(
             {kQuery, kNext, "Get object0 SerialNumber flags=0", "Release enumerator", "Release object0"}, kTeardown))},
        {"a standard exception while reading",
         [](ScriptedCom& c) {
             c.objects = {ScriptedWmiObject::string(u"SN-1")};
             c.objects[0].throwText = "variant trouble";
         },
         "",
         {"TellanHelper : E SystemInfoWin : iWbemServicesQueryProcessingFailed : "
          "function = `anonymous-namespace'>QueryValue : Comment In Log:     Failure: variant trouble",
          queryFailed("Unspecified error")},
         connectedThen(plus(
             {kQuery, kNext, "Get object0 SerialNumber flags=0", "Release enumerator", "Release object0"}, kTeardown))},
    };
    for (const QueryCase& c : cases)
        check(c);
}

TEST_F(WmiQueryTest, TheAnswerIsTheFirstStringValueCutToItsLowBytes)
{
    std::u16string longSerial;
    for (int i = 0; i < 300; ++i)
        longSerial.push_back(static_cast<char16_t>(u'0' + i % 10));
    const QueryCase cases[] = {
        {"an ASCII serial",
         [](ScriptedCom& c) { c.objects = {ScriptedWmiObject::string(u"PF2X9Q7Z ")}; },
         "PF2X9Q7Z ",
         {},
         connectedThen(plus(
             {kQuery, kNext, "Get object0 SerialNumber flags=0", "Release enumerator", "Release object0"}, kTeardown))},
        {"a null value and then a string",
         [](ScriptedCom& c) {
             c.objects = {ScriptedWmiObject::null(), ScriptedWmiObject::string(u"SN-2")};
         },
         "SN-2",
         {},
         connectedThen(plus({kQuery, kNext, "Get object0 SerialNumber flags=0", "Release object0", kNext,
                             "Get object1 SerialNumber flags=0", "Release enumerator", "Release object1"},
                            kTeardown))},
        {"only a null value: no record",
         [](ScriptedCom& c) { c.objects = {ScriptedWmiObject::null()}; },
         "",
         {},
         connectedThen(
             plus({kQuery, kNext, "Get object0 SerialNumber flags=0", "Release object0", kNext, "Release enumerator"},
                  kTeardown))},
        {"no object at all",
         [](ScriptedCom&) {},
         "",
         {},
         connectedThen(plus({kQuery, kNext, "Release enumerator"}, kTeardown))},
        {"characters beyond ASCII and a NUL unit",
         [](ScriptedCom& c) { c.objects = {ScriptedWmiObject::string(std::u16string(u"S\u00e9r\u4e2d\0Z", 6))}; },
         std::string("S\xe9r\x2d\0Z", 6),
         {},
         {}},
        {"300 characters: the first 255",
         [&](ScriptedCom& c) { c.objects = {ScriptedWmiObject::string(longSerial)}; },
         std::string(longSerial.begin(), longSerial.begin() + 255),
         {},
         {}},
        {"COM already initialised alike on this thread",
         [](ScriptedCom& c) {
             c.initializeResult = S_FALSE;
             c.objects = {ScriptedWmiObject::string(u"SN-3")};
         },
         "SN-3",
         {},
         connectedThen(plus(
             {kQuery, kNext, "Get object0 SerialNumber flags=0", "Release enumerator", "Release object0"}, kTeardown))},
        {"process security already set",
         [](ScriptedCom& c) {
             c.securityResult = RPC_E_TOO_LATE;
             c.objects = {ScriptedWmiObject::string(u"SN-4")};
         },
         "SN-4",
         {"TellanHelper : W SystemInfoWin : systemInfoInitializeSecurityAlreadyCalled : "
          "function = `anonymous-namespace'>InitializeCom , returnCode = Security must be initialized before any "
          "interfaces are marshalled or unmarshalled. It cannot be changed once initialized. : "},
         {}},
    };
    for (const QueryCase& c : cases)
        check(c);
}

TEST_F(WmiQueryTest, ComErrorTextIsTheSystemsMessageWithoutItsLineEndOrAFixedText)
{
    machine.messages = {{0x80070002u, u"The system cannot find the file specified.\r\n"},
                        {0x80070005u, u"Access is denied.\n"},
                        {0x8007000Du, u"The data is invalid.\r"},
                        {0x8007000Eu, u"Two\r\nlines\r\n"},
                        {0x80070010u, u"Blank line\n\n"}};
    const struct {
        std::uint32_t result;
        const char* text;
    } cases[] = {
        {0x80070002u, "The system cannot find the file specified."},
        {0x80070005u, "Access is denied."},
        {0x8007000Du, "The data is invalid.\r"},
        {0x8007000Eu, "Two\r\nlines"},
        {0x80070010u, "Blank line\n"},
        {0x80041002u, "IDispatch error #3586"},
        {0x80040201u, "IDispatch error #1"},
        {0x8004FFFFu, "IDispatch error #65023"},
        {0x80040200u, "Unknown error 0x80040200"},
        {0x800401FFu, "Unknown error 0x800401FF"},
        {0x80050000u, "Unknown error 0x80050000"},
        {0x0000ABCDu, "Unknown error 0xABCD"},
        {0x00000001u, "Unknown error 0x1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ComError(hresult(c.result)).errorMessage().toStdString(), c.text) << std::hex << c.result;

    for (const auto& call : machine.formatCalls()) {
        EXPECT_EQ(call.flags, 0x1300u);
        EXPECT_EQ(call.languageId, 0x0400u); // neutral, default sub-language
    }
    EXPECT_EQ(machine.liveLocalBlocks(), 0);
}
