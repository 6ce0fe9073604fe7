#include "Platform/LinuxFacts.h"
#include "Platform/Machine.h"
#include "Platform/Platform.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/utsname.h>
#include <unistd.h>

namespace Tellan {
namespace Platform {
namespace LinuxFacts {

namespace {

std::string trimmed(const std::string& text)
{
    const auto isBlank = [](unsigned char c) { return std::isspace(c) != 0; };
    auto begin = std::find_if_not(text.begin(), text.end(), isBlank);
    auto end = std::find_if_not(text.rbegin(), std::string::const_reverse_iterator(begin), isBlank).base();
    return std::string(begin, end);
}

// Calls f(name, value) for every line of the processor's block until f
// returns true; false when the block is missing.
template <class F>
bool forEachCpuInfoLine(const std::string& cpuInfo, int processor, F f)
{
    std::istringstream in(cpuInfo);
    std::string line;
    bool inBlock = false;
    bool found = false;
    while (std::getline(in, line)) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string name = trimmed(line.substr(0, colon));
        const std::string value = trimmed(line.substr(colon + 1));
        if (name == "processor") {
            if (inBlock)
                break;
            inBlock = value == std::to_string(processor);
            found = found || inBlock;
            continue;
        }
        if (inBlock && f(name, value))
            break;
    }
    return found;
}

} // namespace

std::string machineIdFromText(const std::string& text)
{
    std::string id = trimmed(text.substr(0, text.find('\n')));
    if (id.size() != 32 || !std::all_of(id.begin(), id.end(), [](unsigned char c) { return std::isxdigit(c); }))
        return std::string();
    std::transform(id.begin(), id.end(), id.begin(), asciiLower);
    return id;
}

std::string computerNameFromHostName(const std::string& hostName)
{
    std::string name = hostName.substr(0, hostName.find('.'));
    if (name.size() > 15)
        name.resize(15);
    std::transform(name.begin(), name.end(), name.begin(), asciiUpper);
    return name;
}

bool cpuInfoHasProcessor(const std::string& cpuInfo, int processor)
{
    return forEachCpuInfoLine(cpuInfo, processor, [](const std::string&, const std::string&) { return true; });
}

std::string cpuInfoValue(const std::string& cpuInfo, int processor, const std::string& name)
{
    std::string result;
    forEachCpuInfoLine(cpuInfo, processor, [&](const std::string& n, const std::string& v) {
        if (n != name)
            return false;
        result = v;
        return true;
    });
    return result;
}

std::optional<std::uint32_t> cpuMHzFromCpuInfo(const std::string& cpuInfo, int processor)
{
    const std::string mhz = cpuInfoValue(cpuInfo, processor, "cpu MHz");
    char* end = nullptr;
    const double value = std::strtod(mhz.c_str(), &end);
    if (mhz.empty() || end == mhz.c_str() || !(value > 0) || value > 1e9)
        return std::nullopt;
    return static_cast<std::uint32_t>(std::lround(value));
}

std::uint16_t processorArchitectureFromMachine(const std::string& machine)
{
    if (machine == "i386" || machine == "i486" || machine == "i586" || machine == "i686")
        return PROCESSOR_ARCHITECTURE_INTEL;
    if (machine == "x86_64")
        return PROCESSOR_ARCHITECTURE_AMD64;
    if (machine == "ia64")
        return PROCESSOR_ARCHITECTURE_IA64;
    if (machine == "aarch64" || machine == "arm64")
        return PROCESSOR_ARCHITECTURE_ARM64;
    if (machine.compare(0, 3, "arm") == 0)
        return PROCESSOR_ARCHITECTURE_ARM;
    return PROCESSOR_ARCHITECTURE_UNKNOWN;
}

std::optional<std::string> dmiSerialFromFile(const std::optional<std::string>& bytes)
{
    if (!bytes)
        return std::nullopt;
    std::string serial = *bytes;
    if (!serial.empty() && serial.back() == '\n')
        serial.pop_back();
    return serial;
}

std::optional<std::string> readFile(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    return bytes;
}

std::string machineIdHex() { return machineIdFromText(readFile("/etc/machine-id").value_or(std::string())); }

std::string computerName()
{
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0)
        return std::string();
    return computerNameFromHostName(host);
}

bool processorExists(int processor)
{
    return cpuInfoHasProcessor(readFile("/proc/cpuinfo").value_or(std::string()), processor);
}

std::string cpuInfoValue(int processor, const std::string& name)
{
    return cpuInfoValue(readFile("/proc/cpuinfo").value_or(std::string()), processor, name);
}

std::optional<std::uint32_t> cpuMHz(int processor)
{
    return cpuMHzFromCpuInfo(readFile("/proc/cpuinfo").value_or(std::string()), processor);
}

std::uint16_t processorArchitecture()
{
    struct utsname name {};
    return processorArchitectureFromMachine(::uname(&name) == 0 ? name.machine : "");
}

std::optional<std::string> dmiSerial() { return dmiSerialFromFile(readFile("/sys/class/dmi/id/product_serial")); }

} // namespace LinuxFacts
} // namespace Platform
} // namespace Tellan
