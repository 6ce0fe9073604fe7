#include "SystemInfo/SystemInfo.h"

#include "Logging/Log.h"
#include "Platform/Machine.h"
#include "Platform/Platform.h"
#include "Platform/Registry.h"
#include "SystemInfo/ScopedResource.h"
#include "SystemInfo/WindowsVersionUtil.h"

#include <cstring>
#include <vector>

using namespace Tellan::Platform;

namespace Zorvik {
namespace SystemInfo {

namespace {

const char kComponent[] = "SystemInfoWin";
constexpr std::uint64_t kVolumeIdFallback = 3556551442u; // 0xD3FCAB12

// The steps of a read that tries the process's own registry view first and
// then the 64-bit view.
enum RegistryStep { INITIAL_OPEN, INITIAL_READ, OPEN, READ };
struct RegistryFailure {
    RegistryStep step;
    int code;
};

// Fills buffer (zeroed first) with the value, from whichever view has it,
// and returns the failed steps in order. A failed first open ends the read:
// the key is missing from the process's view, so there is nothing to retry.
std::vector<RegistryFailure> readInEitherView(const char* keyPath, const char* valueName, std::uint8_t* buffer,
                                              std::uint32_t bufferSize)
{
    Registry& registry = Installed<Registry>::get();
    std::vector<RegistryFailure> failures;
    std::memset(buffer, 0, bufferSize);

    RegistryKey key = 0;
    RegistryStatus status = registry.openKey(HKEY_LOCAL_MACHINE_KEY, keyPath, 0, KEY_QUERY_VALUE, &key);
    if (status != 0) {
        failures.push_back({INITIAL_OPEN, status});
        return failures;
    }
    std::uint32_t size = bufferSize;
    status = registry.queryValue(key, valueName, nullptr, buffer, &size);
    registry.closeKey(key);
    if (status == 0)
        return failures;
    failures.push_back({INITIAL_READ, status});

    status = registry.openKey(HKEY_LOCAL_MACHINE_KEY, keyPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
    if (status != 0) {
        failures.push_back({OPEN, status});
        return failures;
    }
    size = bufferSize;
    status = registry.queryValue(key, valueName, nullptr, buffer, &size);
    registry.closeKey(key);
    if (status != 0)
        failures.push_back({READ, status});
    return failures;
}

} // namespace

// A macro, so that each record names the probe that logs it.
#define LOG_REGISTRY_FAILURES(failures, events)                                                                        \
    for (const RegistryFailure& failure : failures) {                                                                  \
        if (failure.step == INITIAL_OPEN || failure.step == INITIAL_READ)                                              \
            TLOG_EVENT(WARNING, kComponent, events[failure.step], {"errorCode", failure.code});                        \
        else                                                                                                           \
            TLOG_EVENT(ERROR, kComponent, events[failure.step], {"errorCode", failure.code});                          \
    }

std::string getWindowsLicense()
{
    static const char* const events[] = {"initialOpenOfProductIdRegistryFailed", "initialReadOfProductIdRegistryFailed",
                                         "openProductIdRegistryFailed", "readProductIdRegistryFailed"};
    std::uint8_t buffer[164];
    const auto failures = readInEitherView("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\", "DigitalProductId",
                                           buffer, sizeof buffer);
    LOG_REGISTRY_FAILURES(failures, events)

    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(2 * sizeof buffer);
    for (const std::uint8_t byte : buffer) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0xF]);
    }
    return text;
}

std::string getMachineGUID()
{
    static const char* const events[] = {"initialOpenOfMachineGUIDRegistryFailed",
                                         "initialReadOfMachineGUIDRegistryFailed", "openOfMachineGUIDRegistryFailed",
                                         "readOfMachineGUIDRegistryFailed"};
    std::uint8_t buffer[256];
    const auto failures = readInEitherView("SOFTWARE\\Microsoft\\Cryptography", "MachineGuid", buffer, sizeof buffer);
    LOG_REGISTRY_FAILURES(failures, events)

    const auto* text = reinterpret_cast<const char*>(buffer);
    return std::string(text, strnlen(text, sizeof buffer));
}

#undef LOG_REGISTRY_FAILURES

std::string getMachineSID()
{
    Machine& machine = Installed<Machine>::get();

    char16_t computerName[16] = {};
    std::uint32_t computerNameSize = 16;
    if (!machine.getComputerName(computerName, &computerNameSize)) {
        const uint code = getLastError();
        TLOG_EVENT(ERROR, kComponent, "getComputerNameFailed", {"errorCode", code}, {"error", lastErrorText()});
        return "Error retrieving computer name: " + std::to_string(code);
    }

    std::uint32_t sidSize = 0;
    char16_t domain[1024] = {};
    std::uint32_t domainSize = 1024;
    SidNameUse use = SidTypeUser;
    // Only the size matters here: the call fails for want of a buffer.
    machine.lookupAccountName(nullptr, computerName, nullptr, &sidSize, domain, &domainSize, &use);
    if (sidSize == 0) {
        const uint code = getLastError();
        TLOG_EVENT(ERROR, kComponent, "getAccountNameSizeFailed", {"errorCode", code}, {"error", lastErrorText()});
        return "Error retrieving SID size: " + std::to_string(code);
    }

    ScopedResource sid(machine.globalAlloc(GPTR, sidSize),
                       [&machine](ScopedResource::Handle memory) { machine.globalFree(memory); });
    if (!machine.lookupAccountName(nullptr, computerName, sid.get(), &sidSize, domain, &domainSize, &use)) {
        const uint code = getLastError();
        TLOG_EVENT(ERROR, kComponent, "getAccountNameFailed", {"errorCode", code}, {"error", lastErrorText()});
        return "Error retrieving SID: " + std::to_string(code);
    }

    char16_t* sidText = nullptr;
    if (!machine.convertSidToStringSid(sid.get(), &sidText)) {
        const uint code = getLastError();
        TLOG_EVENT(ERROR, kComponent, "convertAccountNameSidToStringFailed", {"errorCode", code},
                   {"error", lastErrorText()});
        return "Error converting SID to string: " + std::to_string(code);
    }
    ScopedResource sidTextMemory(sidText, [&machine](ScopedResource::Handle memory) { machine.localFree(memory); });

    // wcstombs_s into 1024 bytes: the SID text is ASCII; anything else
    // would not convert and leaves the text empty.
    std::string narrow;
    for (std::size_t i = 0; sidText[i] && i < 1023; ++i) {
        if (sidText[i] > 0x7F)
            return std::string();
        narrow.push_back(static_cast<char>(sidText[i]));
    }
    return narrow;
}

std::string getHostname()
{
    Machine& machine = Installed<Machine>::get();
    WsaData data;
    const int started = machine.wsaStartup(0x0202, &data);
    if (started != 0)
        TLOG_EVENT(ERROR, kComponent, "wsaStartupFailed", {"errorCode", started});

    char name[256] = {};
    if (machine.getHostName(name, sizeof name) == 0)
        return std::string(name, strnlen(name, sizeof name));
    const int code = machine.wsaGetLastError();
    TLOG_EVENT(ERROR, kComponent, "getHostNameFailed", {"errorCode", code});
    return "getHostname error: " + std::to_string(code);
}

std::uint64_t getVolumeId()
{
    std::uint32_t serial = static_cast<std::uint32_t>(kVolumeIdFallback);
    char16_t volumeName[261] = {};
    char16_t fileSystemName[261] = {};
    if (Installed<Machine>::get().getVolumeInformation(nullptr, volumeName, 261, &serial, nullptr, nullptr,
                                                       fileSystemName, 261))
        return serial;
    const uint code = getLastError();
    TLOG_EVENT(ERROR, kComponent, "getVolumeInformationFailed", {"errorCode", code}, {"error", lastErrorText()});
    return kVolumeIdFallback;
}

int getCPUSpeedMHz()
{
    Registry& registry = Installed<Registry>::get();
    RegistryKey key = 0;
    const RegistryStatus opened = registry.openKey(
        HKEY_LOCAL_MACHINE_KEY, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", 0, KEY_READ, &key);
    if (opened != 0) {
        TLOG_EVENT(ERROR, kComponent, "openCPUSpeedRegistryFailed", {"errorCode", opened});
        return -1;
    }
    std::uint32_t mhz = 0;
    std::uint32_t size = sizeof mhz;
    std::uint8_t bytes[4] = {};
    const RegistryStatus read = registry.queryValue(key, "~MHz", nullptr, bytes, &size);
    registry.closeKey(key);
    if (read != 0)
        TLOG_EVENT(ERROR, kComponent, "readCPUSpeedRegistryFailed", {"errorCode", read});
    else
        std::memcpy(&mhz, bytes, sizeof mhz);
    return static_cast<int>(mhz);
}

int getMBytesRAM()
{
    MemoryStatusEx status;
    status.length = 64;
    if (Installed<Machine>::get().globalMemoryStatusEx(&status))
        return static_cast<int>(static_cast<std::uint32_t>(status.totalPhys >> 20));
    const uint code = getLastError();
    TLOG_EVENT(ERROR, kComponent, "getRamSizeFailed", {"errorCode", code}, {"error", lastErrorText()});
    return -1;
}

std::string getCpuType()
{
    NativeSystemInfo info;
    Installed<Machine>::get().getNativeSystemInfo(&info);
    switch (info.processorArchitecture) {
    case PROCESSOR_ARCHITECTURE_INTEL: return "x86";
    case PROCESSOR_ARCHITECTURE_AMD64: return "x64";
    case PROCESSOR_ARCHITECTURE_IA64: return "Intel Itanium";
    default: return std::string();
    }
}

std::string getOsType() { return "win"; }

std::string getOsVersion()
{
    using Tellan::WindowsVersionUtil;
    return WindowsVersionUtil::versionName(WindowsVersionUtil::getCurrentWindowsVersion()).toLatin1().toStdString();
}

QString lastErrorText()
{
    const std::uint32_t code = getLastError();
    Machine& machine = Installed<Machine>::get();
    char16_t* buffer = nullptr;
    const std::uint32_t length = machine.formatMessage(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                                           | FORMAT_MESSAGE_IGNORE_INSERTS,
                                                       code, 0, &buffer, 260);
    const QString text = length > 0 && buffer ? QString::fromUtf16(buffer, static_cast<int>(length)) : QString();
    if (buffer)
        machine.localFree(buffer);
    return text;
}

} // namespace SystemInfo
} // namespace Zorvik
