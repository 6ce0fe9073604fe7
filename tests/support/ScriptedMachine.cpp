#include "ScriptedMachine.h"

#include "Platform/Platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace TestSupport {

using namespace Tellan::Platform;

ScriptedMachine::ScriptedMachine()
{
    // S-1-5-21-1004336348-1177238915-682003330 in its binary form.
    sid = {1, 4, 0, 0, 0, 0, 0, 5};
    for (std::uint32_t part : {21u, 1004336348u, 1177238915u, 682003330u})
        for (int i = 0; i < 4; ++i)
            sid.push_back(static_cast<std::uint8_t>(part >> (8 * i)));
}

ScriptedMachine::~ScriptedMachine()
{
    for (void* p : globalBlocks_)
        std::free(p);
    for (void* p : localBlocks_)
        std::free(p);
}

void ScriptedMachine::count(const std::string& name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++calls_[name];
}

int ScriptedMachine::callCount(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = calls_.find(name);
    return it == calls_.end() ? 0 : it->second;
}

std::vector<ScriptedMachine::FormatCall> ScriptedMachine::formatCalls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return formatCalls_;
}

std::vector<ScriptedMachine::LookupCall> ScriptedMachine::lookupCalls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return lookupCalls_;
}

std::vector<std::uint32_t> ScriptedMachine::globalAllocSizes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return globalAllocSizes_;
}

int ScriptedMachine::liveGlobalBlocks() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(globalBlocks_.size());
}

int ScriptedMachine::liveLocalBlocks() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(localBlocks_.size());
}

char16_t* ScriptedMachine::allocateLocal(const std::u16string& text, std::size_t minimumUnits)
{
    const std::size_t units = std::max(text.size() + 1, minimumUnits);
    auto* out = static_cast<char16_t*>(std::calloc(units, sizeof(char16_t)));
    std::copy(text.begin(), text.end(), out);
    std::lock_guard<std::mutex> lock(mutex_);
    localBlocks_.insert(out);
    return out;
}

bool ScriptedMachine::getComputerName(char16_t* buffer, std::uint32_t* size)
{
    count("getComputerName");
    if (computerNameError) {
        setLastError(computerNameError);
        return false;
    }
    return copyComputerName(computerName, buffer, size);
}

bool ScriptedMachine::lookupAccountName(const char16_t* systemName, const char16_t* accountName, void* sidBuffer,
                                        std::uint32_t* sidSize, char16_t* referencedDomainName,
                                        std::uint32_t* domainSize, SidNameUse* use)
{
    count("lookupAccountName");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lookupCalls_.push_back({accountName ? std::u16string(accountName) : std::u16string(), systemName == nullptr,
                                sidBuffer == nullptr, *sidSize, *domainSize});
    }
    const auto needed = static_cast<std::uint32_t>(sid.size());
    if (!sidBuffer || *sidSize < needed) {
        if (sizeError) {
            setLastError(sizeError);
            return false;
        }
        *sidSize = needed;
        *domainSize = static_cast<std::uint32_t>(computerName.size() + 1);
        setLastError(ERROR_INSUFFICIENT_BUFFER_CODE);
        return false;
    }
    if (lookupError) {
        setLastError(lookupError);
        return false;
    }
    std::memcpy(sidBuffer, sid.data(), sid.size());
    std::copy(computerName.begin(), computerName.end(), referencedDomainName);
    referencedDomainName[computerName.size()] = 0;
    *domainSize = static_cast<std::uint32_t>(computerName.size());
    *use = SidTypeDomain;
    setLastError(0);
    return true;
}

bool ScriptedMachine::convertSidToStringSid(const void* sidBuffer, char16_t** stringSid)
{
    count("convertSidToStringSid");
    if (convertError || !sidBuffer || std::memcmp(sidBuffer, sid.data(), sid.size()) != 0) {
        setLastError(convertError ? convertError : ERROR_INVALID_SID_CODE);
        return false;
    }
    *stringSid = allocateLocal(sidText, 0);
    setLastError(0);
    return true;
}

void* ScriptedMachine::globalAlloc(std::uint32_t flags, std::size_t bytes)
{
    count("globalAlloc");
    void* p = (flags & GMEM_ZEROINIT) ? std::calloc(1, bytes) : std::malloc(bytes);
    std::lock_guard<std::mutex> lock(mutex_);
    globalAllocSizes_.push_back(static_cast<std::uint32_t>(bytes));
    globalBlocks_.insert(p);
    return p;
}

void* ScriptedMachine::globalFree(void* memory)
{
    count("globalFree");
    std::lock_guard<std::mutex> lock(mutex_);
    if (!globalBlocks_.erase(memory))
        return memory; // not ours: the call fails
    std::free(memory);
    return nullptr;
}

void* ScriptedMachine::localFree(void* memory)
{
    count("localFree");
    std::lock_guard<std::mutex> lock(mutex_);
    if (!localBlocks_.erase(memory))
        return memory;
    std::free(memory);
    return nullptr;
}

int ScriptedMachine::wsaStartup(std::uint16_t version, WsaData* data)
{
    count("wsaStartup");
    if (wsaStartupResult == 0 && data) {
        data->version = version;
        data->highVersion = 0x0202;
    }
    return wsaStartupResult;
}

int ScriptedMachine::getHostName(char* name, int length)
{
    count("getHostName");
    if (hostNameError || static_cast<int>(hostName.size()) + 1 > length) {
        setLastError(hostNameError ? static_cast<std::uint32_t>(hostNameError) : std::uint32_t(WSAEFAULT_CODE));
        return -1;
    }
    std::memcpy(name, hostName.c_str(), hostName.size() + 1);
    setLastError(0);
    return 0;
}

int ScriptedMachine::wsaGetLastError() { return static_cast<int>(getLastError()); }

bool ScriptedMachine::getVolumeInformation(const char16_t* rootPath, char16_t*, std::uint32_t,
                                           std::uint32_t* serialNumber, std::uint32_t*, std::uint32_t*, char16_t*,
                                           std::uint32_t)
{
    count(rootPath ? "getVolumeInformation(root)" : "getVolumeInformation");
    if (volumeError) {
        setLastError(volumeError);
        return false;
    }
    if (serialNumber)
        *serialNumber = volumeSerial;
    setLastError(0);
    return true;
}

bool ScriptedMachine::globalMemoryStatusEx(MemoryStatusEx* status)
{
    count("globalMemoryStatusEx");
    if (memoryError || status->length != 64) {
        setLastError(memoryError ? memoryError : std::uint32_t(ERROR_INVALID_PARAMETER_CODE));
        return false;
    }
    status->totalPhys = totalPhys;
    setLastError(0);
    return true;
}

void ScriptedMachine::getNativeSystemInfo(NativeSystemInfo* info)
{
    count("getNativeSystemInfo");
    info->processorArchitecture = architecture;
}

std::uint32_t ScriptedMachine::formatMessage(std::uint32_t flags, std::uint32_t messageId, std::uint32_t languageId,
                                             char16_t** buffer, std::uint32_t minimumSize)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++calls_["formatMessage"];
        formatCalls_.push_back({flags, messageId, languageId, minimumSize});
    }
    *buffer = nullptr;
    const auto it = messages.find(messageId);
    if (it == messages.end()) {
        setLastError(ERROR_MR_MID_NOT_FOUND_CODE);
        return 0;
    }
    *buffer = allocateLocal(it->second, minimumSize);
    setLastError(0);
    return static_cast<std::uint32_t>(it->second.size());
}

} // namespace TestSupport
