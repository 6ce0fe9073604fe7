#pragma once

// Machine facts read from Linux, shared by the Linux implementations of the
// registry and the machine facility. Each call reads the system again.

#include <string>

namespace Tellan {
namespace Platform {
namespace LinuxFacts {

// The 32 lower-case hexadecimal digits of /etc/machine-id; empty when the
// file is missing or does not hold exactly that.
std::string machineIdHex();

// The NetBIOS form of the host name: its first label in upper case, at most
// 15 characters; empty when the host name cannot be read.
std::string computerName();

// Whether /proc/cpuinfo lists the processor with this number.
bool processorExists(int processor);

// The value of one "name : value" line of that processor's block in
// /proc/cpuinfo; empty when there is none.
std::string cpuInfoValue(int processor, const std::string& name);

} // namespace LinuxFacts
} // namespace Platform
} // namespace Tellan
