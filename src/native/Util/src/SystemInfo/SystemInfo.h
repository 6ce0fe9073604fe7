#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <string>

namespace Zorvik {
namespace SystemInfo {

// Machine probes. Each asks the system again on every call, keeps nothing,
// never throws and may run on any thread. A failure is never reported to the
// caller: the probe logs its record (component SystemInfoWin) and returns
// its fallback or a failure text, which the device id hashes like any other
// value, so the exact bytes of each result matter.

// DigitalProductId as 328 upper-case hexadecimal digits (164 bytes); zero
// bytes for whatever could not be read.
std::string getWindowsLicense();
// MachineGuid up to its NUL; empty when it cannot be read.
std::string getMachineGUID();
// The computer account's SID, "S-1-5-21-..."; on failure the text of the
// failed step followed by its error code.
std::string getMachineSID();
// The host name; "getHostname error: <code>" on failure.
std::string getHostname();
// The first 255 bytes of WMI Win32_BIOS.SerialNumber; empty on failure.
std::string getBiosSerialNumber();
// The serial number of the current directory's volume; 3556551442 on failure.
std::uint64_t getVolumeId();
// Processor 0's ~MHz; -1 when its key cannot be opened, 0 when the value
// cannot be read.
int getCPUSpeedMHz();
// Total physical memory in MiB; -1 on failure.
int getMBytesRAM();
// "x86", "x64", "Intel Itanium", or empty for other processors.
std::string getCpuType();
// Always "win".
std::string getOsType();
// The name of the running Windows version ("10", "Unknown_6_4", ...).
std::string getOsVersion();
// The system's message text for the calling thread's last error code, as
// the system words it (closing line break included); empty when it has none.
QString lastErrorText();

// The device id: "ZRVK01" and the 40 lower-case hexadecimal digits of a
// SHA-1 over six machine facts and a fixed salt. Computed on the first call
// and kept for the rest of the process; calls are serialised by one mutex.
std::string generateDeviceId();
// The 40 lower-case hexadecimal digits of the SHA-1 of bytes; empty if the
// digest cannot be computed.
std::string sha1Hex(const std::string& bytes);
// Two lower-case hexadecimal digits per byte.
std::string bytesToHex(const QByteArray& bytes);
// The 16 bytes that end the device id's hash input.
QByteArray deviceIdSalt();

} // namespace SystemInfo
} // namespace Zorvik
