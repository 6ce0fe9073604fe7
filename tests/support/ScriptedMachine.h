#pragma once

#include "Platform/Machine.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace TestSupport {

// Machine facts from public members. A non-zero *Error member makes its
// call fail with that code; memory handed out is tracked so that a test can
// see every block released.
class ScriptedMachine : public Tellan::Platform::Machine {
public:
    ScriptedMachine();
    ~ScriptedMachine() override;

    // GetComputerNameW
    std::u16string computerName = u"ZRVKPC";
    std::uint32_t computerNameError = 0;
    // LookupAccountNameW: the SID of computerName. sizeError fails the size
    // query (size left 0), lookupError the call with the buffer.
    std::vector<std::uint8_t> sid;
    std::uint32_t sizeError = 0;
    std::uint32_t lookupError = 0;
    // ConvertSidToStringSidW
    std::u16string sidText = u"S-1-5-21-1004336348-1177238915-682003330";
    std::uint32_t convertError = 0;
    // Winsock
    int wsaStartupResult = 0;
    std::string hostName = "zrvk-host";
    int hostNameError = 0;
    // GetVolumeInformationW
    std::uint32_t volumeSerial = 0x12345678;
    std::uint32_t volumeError = 0;
    // GlobalMemoryStatusEx
    std::uint64_t totalPhys = std::uint64_t(8) << 30;
    std::uint32_t memoryError = 0;
    // GetNativeSystemInfo
    std::uint16_t architecture = Tellan::Platform::PROCESSOR_ARCHITECTURE_AMD64;
    // FormatMessageW: the system's texts; codes without one fail with 317.
    std::map<std::uint32_t, std::u16string> messages;

    struct FormatCall {
        std::uint32_t flags, messageId, languageId, minimumSize;
    };
    struct LookupCall {
        std::u16string accountName;
        bool systemNameNull, sidNull;
        std::uint32_t sidSize, domainSize;
    };
    std::vector<FormatCall> formatCalls() const;
    std::vector<LookupCall> lookupCalls() const;
    std::vector<std::uint32_t> globalAllocSizes() const;
    // Blocks handed out and not released, by kind.
    int liveGlobalBlocks() const;
    int liveLocalBlocks() const;
    // Calls of every kind, by name ("getComputerName", "wsaStartup", ...).
    int callCount(const std::string& name) const;

    bool getComputerName(char16_t* buffer, std::uint32_t* size) override;
    bool lookupAccountName(const char16_t* systemName, const char16_t* accountName, void* sid, std::uint32_t* sidSize,
                           char16_t* referencedDomainName, std::uint32_t* domainSize,
                           Tellan::Platform::SidNameUse* use) override;
    bool convertSidToStringSid(const void* sid, char16_t** stringSid) override;
    void* globalAlloc(std::uint32_t flags, std::size_t bytes) override;
    void* globalFree(void* memory) override;
    void* localFree(void* memory) override;
    int wsaStartup(std::uint16_t version, Tellan::Platform::WsaData* data) override;
    int getHostName(char* name, int length) override;
    int wsaGetLastError() override;
    bool getVolumeInformation(const char16_t* rootPath, char16_t* volumeName, std::uint32_t volumeNameSize,
                              std::uint32_t* serialNumber, std::uint32_t* maximumComponentLength,
                              std::uint32_t* fileSystemFlags, char16_t* fileSystemName,
                              std::uint32_t fileSystemNameSize) override;
    bool globalMemoryStatusEx(Tellan::Platform::MemoryStatusEx* status) override;
    void getNativeSystemInfo(Tellan::Platform::NativeSystemInfo* info) override;
    std::uint32_t formatMessage(std::uint32_t flags, std::uint32_t messageId, std::uint32_t languageId,
                                char16_t** buffer, std::uint32_t minimumSize) override;

private:
    void count(const std::string& name);
    char16_t* allocateLocal(const std::u16string& text, std::size_t minimumUnits);

    mutable std::mutex mutex_;
    std::map<std::string, int> calls_;
    std::vector<FormatCall> formatCalls_;
    std::vector<LookupCall> lookupCalls_;
    std::vector<std::uint32_t> globalAllocSizes_;
    std::set<void*> globalBlocks_;
    std::set<void*> localBlocks_;
};

} // namespace TestSupport
