#pragma once

// The platform layer: every operating-system facility the programs use is an
// interface in this folder with one native implementation (Foo_linux.cpp).
// Portable code reaches a facility only through Installed<Facility>::get(), so
// tests can install a scripted implementation and reach every failure path.
//
// Calls keep the shape of the Windows calls they stand for: a BOOL-like
// result plus a per-thread last-error code (Windows error numbers, e.g. 2 file
// not found, 5 access denied), read with getLastError().
//
// Adding a facility: declare the interface in Foo.h with a static native(),
// implement it in Foo_linux.cpp, and use Installed<Foo>::get() in the caller.

#include <atomic>
#include <cstdint>

namespace Tellan {
namespace Platform {

// The Windows error numbers that the layer and the programs produce, the one
// definition of each; errorMessageText has the system's text for each.
enum ErrorCode : std::uint32_t {
    ERROR_SUCCESS_CODE = 0,
    ERROR_INVALID_FUNCTION_CODE = 1,
    ERROR_FILE_NOT_FOUND_CODE = 2,
    ERROR_PATH_NOT_FOUND_CODE = 3,
    ERROR_TOO_MANY_OPEN_FILES_CODE = 4,
    ERROR_ACCESS_DENIED_CODE = 5,
    ERROR_INVALID_HANDLE_CODE = 6,
    ERROR_NOT_ENOUGH_MEMORY_CODE = 8,
    ERROR_OUTOFMEMORY_CODE = 14,
    ERROR_GEN_FAILURE_CODE = 31,
    ERROR_SHARING_VIOLATION_CODE = 32,
    ERROR_LOCK_VIOLATION_CODE = 33,
    ERROR_INVALID_PARAMETER_CODE = 87,
    ERROR_BUFFER_OVERFLOW_CODE = 111,
    ERROR_INSUFFICIENT_BUFFER_CODE = 122,
    ERROR_BAD_EXE_FORMAT_CODE = 193,
    ERROR_FILENAME_EXCED_RANGE_CODE = 206,
    ERROR_MORE_DATA_CODE = 234,
    ERROR_MR_MID_NOT_FOUND_CODE = 317,
    ERROR_OLD_WIN_VERSION_CODE = 1150,
    ERROR_NONE_MAPPED_CODE = 1332,
    ERROR_INVALID_SID_CODE = 1337,
    ERROR_RESOURCE_LANG_NOT_FOUND_CODE = 1815,
    WSAEFAULT_CODE = 10014,
    WSAVERNOTSUPPORTED_CODE = 10092,
    WSANOTINITIALISED_CODE = 10093,
};

// The system's message text for a Windows error number or HRESULT, worded
// as Windows words it, closing CR LF and unexpanded inserts (%1) included;
// an HRESULT made from a Windows error (0x8007xxxx) has that error's text.
// Null for a number without text here.
const char* errorMessageText(std::uint32_t code);

// The Windows error number for the errno of a failed file, pipe or process
// call: ENOENT is 2 (file not found), ENOTDIR 3 (path not found), anything
// without a closer match 31 (general failure). A call whose Windows twin
// reports otherwise maps the errno itself, with a comment saying why.
std::uint32_t errorFromErrno(int error);

// Case folding of ASCII letters only: what Windows does to registry and
// computer names, whatever the C library's locale.
inline char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
inline char asciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::uint32_t getLastError();
void setLastError(std::uint32_t code);

template <class Facility>
class Installed {
public:
    // The installed implementation, or the native one when none is installed.
    static Facility& get()
    {
        Facility* f = slot().load(std::memory_order_acquire);
        return f ? *f : Facility::native();
    }

    // Not owning; nullptr goes back to the native implementation. Tests only.
    static void install(Facility* f) { slot().store(f, std::memory_order_release); }
    static Facility* installed() { return slot().load(std::memory_order_acquire); }

private:
    // Trivially destructible, so a pool thread that still runs while static
    // destructors do at exit keeps reaching a valid facility.
    static std::atomic<Facility*>& slot()
    {
        static std::atomic<Facility*> s{nullptr};
        return s;
    }
};

// Installs a facility for the life of the object (tests).
template <class Facility>
class ScopedInstall {
public:
    explicit ScopedInstall(Facility* f) : previous_(Installed<Facility>::installed())
    {
        Installed<Facility>::install(f);
    }
    ~ScopedInstall() { Installed<Facility>::install(previous_); }
    ScopedInstall(const ScopedInstall&) = delete;
    ScopedInstall& operator=(const ScopedInstall&) = delete;

private:
    Facility* previous_;
};

// Native implementations are created once and never destroyed, for the same
// reason as above.
template <class Impl>
Impl& immortal()
{
    static Impl* p = new Impl();
    return *p;
}

} // namespace Platform
} // namespace Tellan
