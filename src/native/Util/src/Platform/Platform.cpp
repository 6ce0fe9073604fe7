#include "Platform/Platform.h"
#include "Platform/Com.h"

#include <cerrno>

namespace Tellan {
namespace Platform {

namespace {

thread_local std::uint32_t lastError = 0;

// An HRESULT as the unsigned number the table keys on.
constexpr std::uint32_t bits(HRESULT hr) { return static_cast<std::uint32_t>(hr); }

struct Message {
    std::uint32_t code;
    const char* text;
};

const Message kMessages[] = {
    {ERROR_SUCCESS_CODE, "The operation completed successfully.\r\n"},
    {ERROR_INVALID_FUNCTION_CODE, "Incorrect function.\r\n"},
    {ERROR_FILE_NOT_FOUND_CODE, "The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND_CODE, "The system cannot find the path specified.\r\n"},
    {ERROR_TOO_MANY_OPEN_FILES_CODE, "The system cannot open the file.\r\n"},
    {ERROR_ACCESS_DENIED_CODE, "Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE_CODE, "The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY_CODE, "Not enough memory resources are available to process this command.\r\n"},
    {ERROR_OUTOFMEMORY_CODE, "Not enough memory resources are available to complete this operation.\r\n"},
    {ERROR_GEN_FAILURE_CODE, "A device attached to the system is not functioning.\r\n"},
    {ERROR_SHARING_VIOLATION_CODE,
     "The process cannot access the file because it is being used by another process.\r\n"},
    {ERROR_LOCK_VIOLATION_CODE,
     "The process cannot access the file because another process has locked a portion of the file.\r\n"},
    {ERROR_INVALID_PARAMETER_CODE, "The parameter is incorrect.\r\n"},
    {ERROR_BUFFER_OVERFLOW_CODE, "The file name is too long.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER_CODE, "The data area passed to a system call is too small.\r\n"},
    {ERROR_BAD_EXE_FORMAT_CODE, "%1 is not a valid Win32 application.\r\n"},
    {ERROR_FILENAME_EXCED_RANGE_CODE, "The filename or extension is too long.\r\n"},
    {ERROR_MORE_DATA_CODE, "More data is available.\r\n"},
    {ERROR_MR_MID_NOT_FOUND_CODE,
     "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {ERROR_OLD_WIN_VERSION_CODE, "The specified program requires a newer version of Windows.\r\n"},
    {ERROR_NONE_MAPPED_CODE, "No mapping between account names and security IDs was done.\r\n"},
    {ERROR_INVALID_SID_CODE, "The security ID structure is invalid.\r\n"},
    {ERROR_RESOURCE_LANG_NOT_FOUND_CODE, "The specified resource language ID cannot be found in the image file.\r\n"},
    {WSAEFAULT_CODE,
     "The system detected an invalid pointer address in attempting to use a pointer argument in a call.\r\n"},
    {WSAVERNOTSUPPORTED_CODE, "The Windows Sockets version requested is not supported.\r\n"},
    {WSANOTINITIALISED_CODE, "Either the application has not called WSAStartup, or WSAStartup failed.\r\n"},
    // HRESULTs of the COM facility.
    {bits(E_NOINTERFACE), "No such interface supported\r\n"},
    {bits(E_POINTER), "Invalid pointer\r\n"},
    {bits(E_FAIL), "Unspecified error\r\n"},
    {bits(RPC_E_CHANGED_MODE), "Cannot change thread mode after it is set.\r\n"},
    {bits(RPC_E_TOO_LATE),
     "Security must be initialized before any interfaces are marshalled or unmarshalled. It cannot be changed "
     "once initialized.\r\n"},
    {bits(CLASS_E_NOAGGREGATION), "Class does not support aggregation (or class object is remote)\r\n"},
    {bits(REGDB_E_CLASSNOTREG), "Class not registered\r\n"},
    {bits(CO_E_NOTINITIALIZED), "CoInitialize has not been called.\r\n"},
};

} // namespace

std::uint32_t getLastError() { return lastError; }
void setLastError(std::uint32_t code) { lastError = code; }

const char* errorMessageText(std::uint32_t code)
{
    if ((code & 0xFFFF0000u) == 0x80070000u)
        code &= 0xFFFFu;
    for (const Message& m : kMessages)
        if (m.code == code)
            return m.text;
    return nullptr;
}

std::uint32_t errorFromErrno(int error)
{
    switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND_CODE;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND_CODE;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED_CODE;
    case EBADF: return ERROR_INVALID_HANDLE_CODE;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES_CODE;
    case ENOMEM:
    case EAGAIN: return ERROR_NOT_ENOUGH_MEMORY_CODE;
    case ETXTBSY: return ERROR_SHARING_VIOLATION_CODE;
    case EINVAL: return ERROR_INVALID_PARAMETER_CODE;
    case ENOEXEC: return ERROR_BAD_EXE_FORMAT_CODE;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE_CODE;
    default: return ERROR_GEN_FAILURE_CODE;
    }
}

} // namespace Platform
} // namespace Tellan
