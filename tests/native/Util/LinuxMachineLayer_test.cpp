// The Linux implementations of the registry, machine and COM facilities
// keep the results and error codes of the Windows calls they stand for.

#include "Platform/Com.h"
#include "Platform/ComError.h"
#include "Platform/Machine.h"
#include "Platform/Platform.h"
#include "Platform/Registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>

using namespace Tellan::Platform;

TEST(LinuxRegistry, OpensKnownKeysInBothViewsAndAnswersLikeRegQueryValueEx)
{
    Registry& registry = Registry::native();
    RegistryKey key = 0;
    EXPECT_EQ(registry.openKey(HKEY_LOCAL_MACHINE_KEY, "SOFTWARE\\Microsoft\\Nothing Here", 0, KEY_QUERY_VALUE, &key),
              2);
    EXPECT_EQ(registry.openKey(HKEY_LOCAL_MACHINE_KEY, "software\\microsoft\\windows nt\\currentversion\\", 0,
                               KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key),
              0);
    std::uint8_t buffer[164] = {};
    std::uint32_t size = sizeof buffer;
    EXPECT_EQ(registry.queryValue(key, "DigitalProductId", nullptr, buffer, &size), 2);
    EXPECT_EQ(registry.closeKey(key), 0);
    EXPECT_EQ(registry.closeKey(key), ERROR_INVALID_HANDLE_CODE);
    EXPECT_EQ(registry.queryValue(key, "DigitalProductId", nullptr, buffer, &size), ERROR_INVALID_HANDLE_CODE);

    ASSERT_EQ(registry.openKey(HKEY_LOCAL_MACHINE_KEY, "SOFTWARE\\Microsoft\\Cryptography", 0, KEY_READ, &key), 0);
    std::uint32_t type = 0;
    size = 0;
    const RegistryStatus sized = registry.queryValue(key, "MachineGuid", &type, nullptr, &size);
    if (sized == 0) {
        EXPECT_EQ(type, REG_SZ);
        EXPECT_EQ(size, 37u); // 36 characters and the NUL
        char guid[64];
        std::memset(guid, 'x', sizeof guid);
        std::uint32_t small = 10;
        EXPECT_EQ(registry.queryValue(key, "MachineGuid", nullptr, reinterpret_cast<std::uint8_t*>(guid), &small),
                  ERROR_MORE_DATA_CODE);
        EXPECT_EQ(small, 37u);
        EXPECT_EQ(guid[0], 'x'); // left as it was
        std::uint32_t enough = sizeof guid;
        EXPECT_EQ(registry.queryValue(key, "MachineGuid", nullptr, reinterpret_cast<std::uint8_t*>(guid), &enough), 0);
        EXPECT_EQ(std::strlen(guid), 36u);
    } else {
        EXPECT_EQ(sized, 2); // no /etc/machine-id
    }
    registry.closeKey(key);

    ASSERT_EQ(
        registry.openKey(HKEY_LOCAL_MACHINE_KEY, "SOFTWARE\\Microsoft\\Cryptography", 0, KEY_ENUMERATE_SUB_KEYS, &key),
        0);
    EXPECT_EQ(registry.queryValue(key, "MachineGuid", nullptr, nullptr, &size), ERROR_ACCESS_DENIED_CODE);
    registry.closeKey(key);
    EXPECT_EQ(registry.openKey(0x1234, "SOFTWARE", 0, KEY_READ, &key), ERROR_INVALID_HANDLE_CODE);
    EXPECT_EQ(registry.openKey(HKEY_LOCAL_MACHINE_KEY, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\99999", 0,
                               KEY_READ, &key),
              2);
}

TEST(MachineComputerName, CopiesByTheGetComputerNameContract)
{
    const struct {
        const char* name;
        bool buffer;
        bool size;
        std::uint32_t capacity;
        bool copied;
        std::uint32_t error;
        std::uint32_t sizeAfter;
    } cases[] = {
        {"no size", true, false, 0, false, ERROR_INVALID_PARAMETER_CODE, 0},
        {"no buffer", false, true, 16, false, ERROR_BUFFER_OVERFLOW_CODE, 7},
        {"no room for the terminator", true, true, 6, false, ERROR_BUFFER_OVERFLOW_CODE, 7},
        {"exactly enough", true, true, 7, true, 0, 6},
        {"more than enough", true, true, 16, true, 0, 6},
    };
    for (const auto& c : cases) {
        char16_t buffer[16];
        std::fill(std::begin(buffer), std::end(buffer), u'#');
        std::uint32_t size = c.capacity;
        setLastError(12345);
        EXPECT_EQ(Machine::copyComputerName(u"ZRVKPC", c.buffer ? buffer : nullptr, c.size ? &size : nullptr), c.copied)
            << c.name;
        EXPECT_EQ(getLastError(), c.error) << c.name;
        if (c.size) {
            EXPECT_EQ(size, c.sizeAfter) << c.name;
        }
        if (c.copied) {
            EXPECT_EQ(std::u16string(buffer), u"ZRVKPC") << c.name;
        } else if (c.buffer) {
            EXPECT_EQ(buffer[0], u'#') << c.name << ": nothing written";
        }
    }
}

TEST(LinuxMachine, ReportsBufferAndLookUpFailuresWithWindowsCodes)
{
    Machine& machine = Machine::native();
    char16_t name[16];
    std::uint32_t size = 2;
    EXPECT_FALSE(machine.getComputerName(name, &size));
    EXPECT_EQ(getLastError(), ERROR_BUFFER_OVERFLOW_CODE);
    EXPECT_GE(size, 2u);
    EXPECT_LE(size, 16u);
    size = 16;
    ASSERT_TRUE(machine.getComputerName(name, &size));
    for (std::uint32_t i = 0; i < size; ++i)
        EXPECT_FALSE(name[i] >= u'a' && name[i] <= u'z');

    std::uint32_t sidSize = 0, domainSize = 1024;
    char16_t domain[1024];
    SidNameUse use = SidTypeUser;
    EXPECT_FALSE(
        machine.lookupAccountName(nullptr, u"no-such-account-here", nullptr, &sidSize, domain, &domainSize, &use));
    EXPECT_EQ(getLastError(), ERROR_NONE_MAPPED_CODE);
    EXPECT_EQ(sidSize, 0u);

    const std::uint8_t badSid[8] = {2, 1, 0, 0, 0, 0, 0, 5};
    char16_t* text = nullptr;
    EXPECT_FALSE(machine.convertSidToStringSid(badSid, &text));
    EXPECT_EQ(getLastError(), ERROR_INVALID_SID_CODE);
    const std::uint8_t sid[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};
    ASSERT_TRUE(machine.convertSidToStringSid(sid, &text));
    EXPECT_EQ(std::u16string(text), u"S-1-5-32-544");
    machine.localFree(text);

    std::uint32_t serial = 0;
    EXPECT_FALSE(
        machine.getVolumeInformation(u"/no/such/folder/here", nullptr, 0, &serial, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(getLastError(), ERROR_PATH_NOT_FOUND_CODE);

    MemoryStatusEx status;
    EXPECT_FALSE(machine.globalMemoryStatusEx(&status));
    EXPECT_EQ(getLastError(), ERROR_INVALID_PARAMETER_CODE);

    char host[2];
    EXPECT_EQ(machine.getHostName(host, 1), -1);
    EXPECT_EQ(machine.wsaGetLastError(), static_cast<int>(WSAEFAULT_CODE));
    WsaData data;
    EXPECT_EQ(machine.wsaStartup(0x0202, &data), 0);
    EXPECT_EQ(data.version, 0x0202);

    char16_t* message = nullptr;
    EXPECT_EQ(
        machine.formatMessage(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, 0x80041002u, 0, &message, 0),
        0u);
    EXPECT_EQ(message, nullptr);
    EXPECT_EQ(getLastError(), ERROR_MR_MID_NOT_FOUND_CODE);
    // An HRESULT made from a Windows error has that error's text.
    ASSERT_EQ(machine.formatMessage(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, 0x80070005u,
                                    LANGUAGE_NEUTRAL_DEFAULT, &message, 260),
              19u);
    EXPECT_EQ(std::u16string(message), u"Access is denied.\r\n");
    machine.localFree(message);
}

TEST(LinuxCom, KeepsApartmentsPerThreadAndServesOnlyTheBiosClass)
{
    Com& com = Com::native();
    std::thread([&] {
        void* object = nullptr;
        EXPECT_EQ(com.coCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, &object),
                  CO_E_NOTINITIALIZED);
        EXPECT_EQ(com.coInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        EXPECT_EQ(com.coInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
        EXPECT_EQ(com.coInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
        EXPECT_EQ(com.coCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, &object),
                  S_OK);
        auto* locator = static_cast<IWbemLocator*>(object);
        IWbemServices* services = nullptr;
        EXPECT_EQ(locator->connectServer(u"ROOT\\DEFAULT", nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services),
                  WBEM_E_INVALID_NAMESPACE);
        ASSERT_EQ(locator->connectServer(u"root\\cimv2", nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services),
                  S_OK);
        IEnumWbemClassObject* enumerator = nullptr;
        EXPECT_EQ(services->execQuery(u"SQL", u"SELECT SerialNumber FROM Win32_BIOS", 0x30, nullptr, &enumerator),
                  WBEM_E_INVALID_QUERY_TYPE);
        EXPECT_EQ(services->execQuery(u"WQL", u"SELECT Name FROM Win32_Process", 0x30, nullptr, &enumerator),
                  WBEM_E_INVALID_CLASS);
        EXPECT_EQ(services->execQuery(u"WQL", u"SELECT Colour FROM Win32_BIOS", 0x30, nullptr, &enumerator),
                  WBEM_E_INVALID_QUERY);
        ASSERT_EQ(services->execQuery(u"WQL", u"select * from win32_bios", 0x30, nullptr, &enumerator), S_OK);
        IWbemClassObject* object0 = nullptr;
        std::uint32_t returned = 0;
        EXPECT_EQ(enumerator->next(WBEM_INFINITE, 1, &object0, &returned), S_OK);
        ASSERT_EQ(returned, 1u);
        Variant value;
        EXPECT_EQ(object0->get(u"serialnumber", 0, &value, nullptr, nullptr), S_OK);
        EXPECT_TRUE(value.vt == VT_BSTR || value.vt == VT_NULL);
        EXPECT_EQ(object0->get(u"Colour", 0, &value, nullptr, nullptr), WBEM_E_NOT_FOUND);
        IWbemClassObject* object1 = nullptr;
        EXPECT_EQ(enumerator->next(WBEM_INFINITE, 1, &object1, &returned), WBEM_S_FALSE);
        EXPECT_EQ(returned, 0u);
        object0->release();
        enumerator->release();
        services->release();
        locator->release();
        com.coUninitialize();
        com.coUninitialize();
    }).join();

    EXPECT_EQ(ComError(RPC_E_CHANGED_MODE).errorMessage(), "Cannot change thread mode after it is set.");
    EXPECT_EQ(ComError(CO_E_NOTINITIALIZED).errorMessage(), "CoInitialize has not been called.");
    EXPECT_EQ(ComError(WBEM_E_INVALID_CLASS).errorMessage(), "IDispatch error #3600");
}
