#pragma once

// Machine facts read from Linux, shared by the Linux implementations of the
// registry, machine and COM facilities. The parsers are pure functions of
// the source's text; the readers read the system again on every call.

#include <cstdint>
#include <optional>
#include <string>

namespace Tellan {
namespace Platform {
namespace LinuxFacts {

// The text of /etc/machine-id: its first line without the blanks around it,
// in lower case, when that is exactly 32 hexadecimal digits; otherwise empty.
std::string machineIdFromText(const std::string& text);

// The NetBIOS form of a host name: its first label in (ASCII) upper case, at
// most 15 characters.
std::string computerNameFromHostName(const std::string& hostName);

// The text of /proc/cpuinfo: "name : value" lines in one block per
// processor, each block opened by its "processor : N" line. Names and
// values are taken without the blanks around them.
bool cpuInfoHasProcessor(const std::string& cpuInfo, int processor);
// The value of one line of that processor's block; empty when there is none.
std::string cpuInfoValue(const std::string& cpuInfo, int processor, const std::string& name);
// That processor's "cpu MHz" rounded to whole MHz; none when the line is
// missing or does not hold a positive number of at most 10^9.
std::optional<std::uint32_t> cpuMHzFromCpuInfo(const std::string& cpuInfo, int processor);

// wProcessorArchitecture for uname's machine name: i386 to i686 Intel,
// x86_64 AMD64, ia64 IA64, aarch64 and arm64 ARM64, other arm* ARM, any
// other unknown (0xFFFF).
std::uint16_t processorArchitectureFromMachine(const std::string& machine);

// The SMBIOS system serial from the bytes of product_serial, none when the
// file could not be read (it is readable by root only): the bytes without
// the one line feed the kernel ends them with.
std::optional<std::string> dmiSerialFromFile(const std::optional<std::string>& bytes);

// The whole file; none when it cannot be opened or read.
std::optional<std::string> readFile(const char* path);

// The readers, each over its source: /etc/machine-id, gethostname,
// /proc/cpuinfo, uname, /sys/class/dmi/id/product_serial. computerName is
// empty when the host name cannot be read.
std::string machineIdHex();
std::string computerName();
bool processorExists(int processor);
std::string cpuInfoValue(int processor, const std::string& name);
std::optional<std::uint32_t> cpuMHz(int processor);
std::uint16_t processorArchitecture();
std::optional<std::string> dmiSerial();

} // namespace LinuxFacts
} // namespace Platform
} // namespace Tellan
