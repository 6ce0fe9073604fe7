#include "Platform/LinuxFacts.h"
#include "Platform/Platform.h"

#include <algorithm>
#include <cctype>
#include <fstream>
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
bool forEachCpuInfoLine(int processor, F f)
{
    std::ifstream in("/proc/cpuinfo");
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

std::string machineIdHex()
{
    std::ifstream in("/etc/machine-id");
    std::string id;
    std::getline(in, id);
    id = trimmed(id);
    if (id.size() != 32 || !std::all_of(id.begin(), id.end(), [](unsigned char c) { return std::isxdigit(c); }))
        return std::string();
    std::transform(id.begin(), id.end(), id.begin(), asciiLower);
    return id;
}

std::string computerName()
{
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0)
        return std::string();
    std::string name(host);
    name = name.substr(0, name.find('.'));
    if (name.size() > 15)
        name.resize(15);
    std::transform(name.begin(), name.end(), name.begin(), asciiUpper);
    return name;
}

bool processorExists(int processor)
{
    return forEachCpuInfoLine(processor, [](const std::string&, const std::string&) { return true; });
}

std::string cpuInfoValue(int processor, const std::string& name)
{
    std::string result;
    forEachCpuInfoLine(processor, [&](const std::string& n, const std::string& v) {
        if (n != name)
            return false;
        result = v;
        return true;
    });
    return result;
}

} // namespace LinuxFacts
} // namespace Platform
} // namespace Tellan
