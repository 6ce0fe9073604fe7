#include "Platform/Machine.h"

#include "Platform/LinuxFacts.h"
#include "Platform/Platform.h"

#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <unistd.h>

namespace Tellan {
namespace Platform {

namespace {

constexpr std::size_t kSidSize = 8 + 4 * 4;

bool sameNameIgnoringCase(const char16_t* a, const std::string& b)
{
    std::size_t i = 0;
    for (; a[i]; ++i) {
        if (i >= b.size() || a[i] > 0x7F)
            return false;
        if (asciiUpper(a[i]) != asciiUpper(b[i]))
            return false;
    }
    return i == b.size();
}

void putLittleEndian(std::uint8_t* out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t getLittleEndian(const std::uint8_t* in)
{
    return std::uint32_t(in[0]) | std::uint32_t(in[1]) << 8 | std::uint32_t(in[2]) << 16 | std::uint32_t(in[3]) << 24;
}

char16_t* allocateUtf16(const std::string& text, std::size_t minimumUnits)
{
    const std::size_t units = std::max(text.size() + 1, minimumUnits);
    auto* out = static_cast<char16_t*>(std::calloc(units, sizeof(char16_t)));
    if (out)
        std::copy(text.begin(), text.end(), out);
    return out;
}

class LinuxMachine final : public Machine {
public:
    bool getComputerName(char16_t* buffer, std::uint32_t* size) override
    {
        const std::string name = LinuxFacts::computerName();
        if (name.empty()) {
            setLastError(ERROR_FILE_NOT_FOUND_CODE);
            return false;
        }
        return copyComputerName(std::u16string(name.begin(), name.end()), buffer, size);
    }

    // The computer's own name maps to the machine's domain SID,
    // S-1-5-21-a-b-c, whose three numbers come from /etc/machine-id.
    bool lookupAccountName(const char16_t* systemName, const char16_t* accountName, void* sid, std::uint32_t* sidSize,
                           char16_t* referencedDomainName, std::uint32_t* domainSize, SidNameUse* use) override
    {
        if (!accountName || !sidSize || !domainSize || !use) {
            setLastError(ERROR_INVALID_PARAMETER_CODE);
            return false;
        }
        const std::string computer = LinuxFacts::computerName();
        const std::string id = LinuxFacts::machineIdHex();
        if ((systemName && systemName[0]) || computer.empty() || id.empty()
            || !sameNameIgnoringCase(accountName, computer)) {
            setLastError(ERROR_NONE_MAPPED_CODE);
            return false;
        }
        const auto neededDomain = static_cast<std::uint32_t>(computer.size() + 1);
        if (!sid || *sidSize < kSidSize || !referencedDomainName || *domainSize < neededDomain) {
            *sidSize = static_cast<std::uint32_t>(kSidSize);
            *domainSize = neededDomain;
            setLastError(ERROR_INSUFFICIENT_BUFFER_CODE);
            return false;
        }
        auto* bytes = static_cast<std::uint8_t*>(sid);
        const std::uint8_t head[8] = {1, 4, 0, 0, 0, 0, 0, 5};
        std::memcpy(bytes, head, sizeof head);
        putLittleEndian(bytes + 8, 21);
        for (int i = 0; i < 3; ++i)
            putLittleEndian(bytes + 12 + 4 * i,
                            static_cast<std::uint32_t>(std::stoul(id.substr(8 * i, 8), nullptr, 16)));
        *sidSize = static_cast<std::uint32_t>(kSidSize);
        std::copy(computer.begin(), computer.end(), referencedDomainName);
        referencedDomainName[computer.size()] = 0;
        *domainSize = neededDomain - 1;
        *use = SidTypeDomain;
        setLastError(0);
        return true;
    }

    bool convertSidToStringSid(const void* sid, char16_t** stringSid) override
    {
        if (!stringSid) {
            setLastError(ERROR_INVALID_PARAMETER_CODE);
            return false;
        }
        const auto* bytes = static_cast<const std::uint8_t*>(sid);
        if (!bytes || bytes[0] != 1 || bytes[1] > 15) {
            setLastError(ERROR_INVALID_SID_CODE);
            return false;
        }
        std::uint64_t authority = 0;
        for (int i = 2; i < 8; ++i)
            authority = authority << 8 | bytes[i];
        char number[32];
        if (authority < (std::uint64_t(1) << 32))
            std::snprintf(number, sizeof number, "%llu", static_cast<unsigned long long>(authority));
        else
            std::snprintf(number, sizeof number, "0x%012llX", static_cast<unsigned long long>(authority));
        std::string text = std::string("S-1-") + number;
        for (int i = 0; i < bytes[1]; ++i)
            text += "-" + std::to_string(getLittleEndian(bytes + 8 + 4 * i));
        *stringSid = allocateUtf16(text, 0);
        if (!*stringSid) {
            setLastError(ERROR_NOT_ENOUGH_MEMORY_CODE);
            return false;
        }
        setLastError(0);
        return true;
    }

    void* globalAlloc(std::uint32_t flags, std::size_t bytes) override
    {
        if (flags & GMEM_MOVEABLE) {
            setLastError(ERROR_INVALID_PARAMETER_CODE);
            return nullptr;
        }
        void* memory = (flags & GMEM_ZEROINIT) ? std::calloc(1, std::max<std::size_t>(bytes, 1))
                                               : std::malloc(std::max<std::size_t>(bytes, 1));
        setLastError(memory ? 0u : std::uint32_t(ERROR_NOT_ENOUGH_MEMORY_CODE));
        return memory;
    }

    void* globalFree(void* memory) override
    {
        std::free(memory);
        return nullptr;
    }

    void* localFree(void* memory) override
    {
        std::free(memory);
        return nullptr;
    }

    int wsaStartup(std::uint16_t version, WsaData* data) override
    {
        if (!data)
            return WSAEFAULT_CODE;
        if ((version & 0xFF) < 1)
            return WSAVERNOTSUPPORTED_CODE;
        data->version = std::min<std::uint16_t>(version, 0x0202);
        data->highVersion = 0x0202;
        std::snprintf(data->description, sizeof data->description, "%s", "WinSock 2.0");
        std::snprintf(data->systemStatus, sizeof data->systemStatus, "%s", "Running");
        return 0;
    }

    int getHostName(char* name, int length) override
    {
        char host[256] = {};
        if (!name || length <= 0 || ::gethostname(host, sizeof host - 1) != 0
            || std::strlen(host) + 1 > static_cast<std::size_t>(length)) {
            setLastError(WSAEFAULT_CODE);
            return -1;
        }
        std::memcpy(name, host, std::strlen(host) + 1);
        setLastError(0);
        return 0;
    }

    int wsaGetLastError() override { return static_cast<int>(getLastError()); }

    bool getVolumeInformation(const char16_t* rootPath, char16_t* volumeName, std::uint32_t volumeNameSize,
                              std::uint32_t* serialNumber, std::uint32_t* maximumComponentLength,
                              std::uint32_t* fileSystemFlags, char16_t* fileSystemName,
                              std::uint32_t fileSystemNameSize) override
    {
        const QByteArray path = rootPath ? QString::fromUtf16(rootPath).toUtf8() : QByteArray(".");
        struct statvfs info {};
        if (::statvfs(path.constData(), &info) != 0) {
            // The root path names a folder: a missing one is a path not
            // found there, where a file call would say file not found.
            setLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND_CODE : errorFromErrno(errno));
            return false;
        }
        // The file-system id stands in for the serial number Windows writes
        // when it formats a volume.
        if (serialNumber)
            *serialNumber = static_cast<std::uint32_t>(info.f_fsid & 0xFFFFFFFFu);
        if (maximumComponentLength)
            *maximumComponentLength = static_cast<std::uint32_t>(info.f_namemax);
        if (fileSystemFlags)
            *fileSystemFlags = 0;
        if (volumeName && volumeNameSize > 0)
            volumeName[0] = 0;
        if (fileSystemName && fileSystemNameSize > 0)
            fileSystemName[0] = 0;
        setLastError(0);
        return true;
    }

    bool globalMemoryStatusEx(MemoryStatusEx* status) override
    {
        if (!status || status->length != 64) {
            setLastError(ERROR_INVALID_PARAMETER_CODE);
            return false;
        }
        struct sysinfo info {};
        if (::sysinfo(&info) != 0) {
            setLastError(errorFromErrno(errno));
            return false;
        }
        const std::uint64_t unit = info.mem_unit ? info.mem_unit : 1;
        status->totalPhys = std::uint64_t(info.totalram) * unit;
        status->availPhys = (std::uint64_t(info.freeram) + info.bufferram) * unit;
        status->totalPageFile = status->totalPhys + std::uint64_t(info.totalswap) * unit;
        status->availPageFile = status->availPhys + std::uint64_t(info.freeswap) * unit;
        status->totalVirtual = 0x7FFE0000u; // a 32-bit process's user space
        status->availVirtual = status->totalVirtual;
        status->availExtendedVirtual = 0;
        status->memoryLoad =
            status->totalPhys ? static_cast<std::uint32_t>(100 - status->availPhys * 100 / status->totalPhys) : 0;
        setLastError(0);
        return true;
    }

    void getNativeSystemInfo(NativeSystemInfo* info) override
    {
        if (!info)
            return;
        info->processorArchitecture = LinuxFacts::processorArchitecture();
        info->pageSize = static_cast<std::uint32_t>(::sysconf(_SC_PAGESIZE));
        info->numberOfProcessors = static_cast<std::uint32_t>(std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN)));
    }

    std::uint32_t formatMessage(std::uint32_t flags, std::uint32_t messageId, std::uint32_t languageId,
                                char16_t** buffer, std::uint32_t minimumSize) override
    {
        if (!buffer || !(flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) || !(flags & FORMAT_MESSAGE_FROM_SYSTEM)) {
            setLastError(ERROR_INVALID_PARAMETER_CODE);
            return 0;
        }
        *buffer = nullptr;
        if (languageId != 0 && languageId != LANGUAGE_NEUTRAL_DEFAULT && languageId != 0x0409) {
            setLastError(ERROR_RESOURCE_LANG_NOT_FOUND_CODE);
            return 0;
        }
        const char* text = errorMessageText(messageId);
        if (!text) {
            setLastError(ERROR_MR_MID_NOT_FOUND_CODE);
            return 0;
        }
        *buffer = allocateUtf16(text, minimumSize);
        if (!*buffer) {
            setLastError(ERROR_NOT_ENOUGH_MEMORY_CODE);
            return 0;
        }
        setLastError(0);
        return static_cast<std::uint32_t>(std::strlen(text));
    }
};

} // namespace

Machine& Machine::native() { return immortal<LinuxMachine>(); }

} // namespace Platform
} // namespace Tellan
