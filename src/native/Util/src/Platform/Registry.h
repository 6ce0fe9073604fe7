#pragma once

#include "Platform/Platform.h"

#include <cstdint>

namespace Tellan {
namespace Platform {

// HKEY: a predefined root or a handle returned by openKey.
typedef std::uintptr_t RegistryKey;
// LSTATUS: 0 on success, otherwise a Windows error number.
typedef std::int32_t RegistryStatus;

constexpr RegistryKey HKEY_LOCAL_MACHINE_KEY = 0x80000002u;

enum RegistryAccess : std::uint32_t {
    KEY_QUERY_VALUE = 0x0001,
    KEY_ENUMERATE_SUB_KEYS = 0x0008,
    KEY_NOTIFY = 0x0010,
    KEY_WOW64_64KEY = 0x0100,
    KEY_WOW64_32KEY = 0x0200,
    READ_CONTROL = 0x20000,
    KEY_READ = 0x20019,
};

enum RegistryValueType : std::uint32_t {
    REG_NONE = 0,
    REG_SZ = 1,
    REG_BINARY = 3,
    REG_DWORD = 4,
};

// The registry of the local machine, read only (RegOpenKeyExA,
// RegQueryValueExA, RegCloseKey). Key paths use the backslash of registry
// paths; names compare without regard to case. Results are returned, not
// put into the last error: 2 for a missing key or value, 5 for a key opened
// without KEY_QUERY_VALUE, 6 for a handle that is not open, 87 for a bad
// argument, 234 (ERROR_MORE_DATA) when the value does not fit.
//
// The process's own view is the one the 32-bit program sees; KEY_WOW64_64KEY
// asks for the 64-bit view. Any thread may call.
//
// The Linux implementation serves the few keys the programs read from the
// machine's own facts: Cryptography\MachineGuid is /etc/machine-id written
// as a lower-case GUID (8-4-4-4-12), a processor's ~MHz the "cpu MHz" of its
// block in /proc/cpuinfo. Linux has no Windows product id, so
// DigitalProductId exists in neither view; both views show the same keys.
class Registry {
public:
    virtual ~Registry() = default;

    // RegOpenKeyExA. subKey may be null or empty (the root itself).
    virtual RegistryStatus openKey(RegistryKey root, const char* subKey, std::uint32_t options, std::uint32_t access,
                                   RegistryKey* result) = 0;

    // RegQueryValueExA. On entry *dataSize is the capacity of data in bytes;
    // on success it holds the value's size (a string counts its NUL). With
    // data null the size alone is returned. ERROR_MORE_DATA leaves data as it
    // was and sets *dataSize to the size needed. type may be null.
    virtual RegistryStatus queryValue(RegistryKey key, const char* valueName, std::uint32_t* type, std::uint8_t* data,
                                      std::uint32_t* dataSize) = 0;

    // RegCloseKey.
    virtual RegistryStatus closeKey(RegistryKey key) = 0;

    static Registry& native();
};

} // namespace Platform
} // namespace Tellan
