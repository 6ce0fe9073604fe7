#pragma once

#include "Platform/Platform.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace Tellan {
namespace Platform {

// SID_NAME_USE
enum SidNameUse : std::uint32_t {
    SidTypeUser = 1,
    SidTypeGroup = 2,
    SidTypeDomain = 3,
};

// GlobalAlloc flags.
enum : std::uint32_t {
    GMEM_FIXED = 0x0000,
    GMEM_MOVEABLE = 0x0002,
    GMEM_ZEROINIT = 0x0040,
    GPTR = GMEM_FIXED | GMEM_ZEROINIT,
};

// FormatMessageW flags.
enum : std::uint32_t {
    FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x0100,
    FORMAT_MESSAGE_IGNORE_INSERTS = 0x0200,
    FORMAT_MESSAGE_FROM_SYSTEM = 0x1000,
};

// MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT)
constexpr std::uint32_t LANGUAGE_NEUTRAL_DEFAULT = 0x0400;

// wProcessorArchitecture
enum : std::uint16_t {
    PROCESSOR_ARCHITECTURE_INTEL = 0,
    PROCESSOR_ARCHITECTURE_ARM = 5,
    PROCESSOR_ARCHITECTURE_IA64 = 6,
    PROCESSOR_ARCHITECTURE_AMD64 = 9,
    PROCESSOR_ARCHITECTURE_ARM64 = 12,
    PROCESSOR_ARCHITECTURE_UNKNOWN = 0xFFFF,
};

// WSADATA, the fields the programs look at.
struct WsaData {
    std::uint16_t version = 0;
    std::uint16_t highVersion = 0;
    char description[257] = {};
    char systemStatus[129] = {};
};

// MEMORYSTATUSEX; `length` must be 64, the size of the Windows record.
struct MemoryStatusEx {
    std::uint32_t length = 0;
    std::uint32_t memoryLoad = 0;
    std::uint64_t totalPhys = 0;
    std::uint64_t availPhys = 0;
    std::uint64_t totalPageFile = 0;
    std::uint64_t availPageFile = 0;
    std::uint64_t totalVirtual = 0;
    std::uint64_t availVirtual = 0;
    std::uint64_t availExtendedVirtual = 0;
};

// SYSTEM_INFO, the fields the programs look at.
struct NativeSystemInfo {
    std::uint16_t processorArchitecture = 0;
    std::uint32_t pageSize = 0;
    std::uint32_t numberOfProcessors = 0;
};

// Facts about the computer and the system's message table: the calls the
// system-information probes make. Every call may run on any thread. Calls
// with a bool result set getLastError() (0 on success); the Winsock calls
// keep their own shape (0 / -1 and wsaGetLastError()).
//
// Memory handed out by convertSidToStringSid and formatMessage is released
// with localFree; memory of globalAlloc with globalFree.
class Machine {
public:
    virtual ~Machine() = default;

    // GetComputerNameW: *size is the capacity in UTF-16 units. On success the
    // NUL-terminated NetBIOS name (at most 15 units) and *size its length;
    // ERROR_BUFFER_OVERFLOW_CODE with *size the capacity needed.
    virtual bool getComputerName(char16_t* buffer, std::uint32_t* size) = 0;

    // LookupAccountNameW. With sid null or *sidSize / *domainSize too small:
    // false, ERROR_INSUFFICIENT_BUFFER_CODE and both sizes set to what is
    // needed. An unknown account: false, ERROR_NONE_MAPPED_CODE, sizes as
    // they were.
    virtual bool lookupAccountName(const char16_t* systemName, const char16_t* accountName, void* sid,
                                   std::uint32_t* sidSize, char16_t* referencedDomainName, std::uint32_t* domainSize,
                                   SidNameUse* use) = 0;

    // ConvertSidToStringSidW: *stringSid gets "S-1-5-21-..." (release with
    // localFree); ERROR_INVALID_SID_CODE for a malformed SID.
    virtual bool convertSidToStringSid(const void* sid, char16_t** stringSid) = 0;

    // GlobalAlloc (GMEM_FIXED forms only); null with the last error set.
    virtual void* globalAlloc(std::uint32_t flags, std::size_t bytes) = 0;
    // GlobalFree: null on success.
    virtual void* globalFree(void* memory) = 0;
    // LocalFree: null on success.
    virtual void* localFree(void* memory) = 0;

    // WSAStartup: 0, or a Winsock error number.
    virtual int wsaStartup(std::uint16_t version, WsaData* data) = 0;
    // gethostname: 0 with the NUL-terminated name, or -1 (SOCKET_ERROR).
    virtual int getHostName(char* name, int length) = 0;
    // WSAGetLastError
    virtual int wsaGetLastError() = 0;

    // GetVolumeInformationW. rootPath null: the volume of the current
    // directory. Every output may be null.
    virtual bool getVolumeInformation(const char16_t* rootPath, char16_t* volumeName, std::uint32_t volumeNameSize,
                                      std::uint32_t* serialNumber, std::uint32_t* maximumComponentLength,
                                      std::uint32_t* fileSystemFlags, char16_t* fileSystemName,
                                      std::uint32_t fileSystemNameSize) = 0;

    // GlobalMemoryStatusEx: ERROR_INVALID_PARAMETER_CODE unless length is 64.
    virtual bool globalMemoryStatusEx(MemoryStatusEx* status) = 0;

    // GetNativeSystemInfo: the machine's processor, not the process's.
    virtual void getNativeSystemInfo(NativeSystemInfo* info) = 0;

    // FormatMessageW from the system message table with
    // FORMAT_MESSAGE_ALLOCATE_BUFFER: *buffer gets the NUL-terminated text
    // (at least minimumSize units allocated; release with localFree) and the
    // result is its length. 0 with the last error set (and *buffer null)
    // when the system has no text for the code. Texts end in "\r\n" as the
    // system's do; inserts are left as they stand.
    virtual std::uint32_t formatMessage(std::uint32_t flags, std::uint32_t messageId, std::uint32_t languageId,
                                        char16_t** buffer, std::uint32_t minimumSize) = 0;

    static Machine& native();

    // The GetComputerNameW buffer contract for a name in hand.
    static bool copyComputerName(const std::u16string& name, char16_t* buffer, std::uint32_t* size);
};

} // namespace Platform
} // namespace Tellan
