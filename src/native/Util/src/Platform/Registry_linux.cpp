#include "Platform/Registry.h"

#include "Platform/LinuxFacts.h"
#include "Platform/Platform.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Tellan {
namespace Platform {

namespace {

const char kProcessorKey[] = "hardware\\description\\system\\centralprocessor";

struct Value {
    std::uint32_t type = REG_NONE;
    std::vector<std::uint8_t> bytes;
};

std::string lowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), asciiLower);
    return text;
}

bool startsWith(const std::string& text, const std::string& head) { return text.compare(0, head.size(), head) == 0; }

Value stringValue(const std::string& text)
{
    Value v;
    v.type = REG_SZ;
    v.bytes.assign(text.begin(), text.end());
    v.bytes.push_back(0);
    return v;
}

Value dwordValue(std::uint32_t number)
{
    Value v;
    v.type = REG_DWORD;
    for (int i = 0; i < 4; ++i)
        v.bytes.push_back(static_cast<std::uint8_t>(number >> (8 * i)));
    return v;
}

// "centralprocessor\N" gives N, anything else -1.
int processorOf(const std::string& path)
{
    const std::string head = std::string(kProcessorKey) + "\\";
    if (!startsWith(path, head))
        return -1;
    const std::string number = path.substr(head.size());
    if (number.empty() || number.size() > 4
        || !std::all_of(number.begin(), number.end(), [](unsigned char c) { return std::isdigit(c); }))
        return -1;
    return std::stoi(number);
}

// Keys are lower-case paths from the local machine's root, "" for the root.
bool keyExists(const std::string& path)
{
    static const char* const fixed[] = {
        "",
        "software",
        "software\\microsoft",
        "software\\microsoft\\windows nt",
        "software\\microsoft\\windows nt\\currentversion",
        "software\\microsoft\\cryptography",
        "hardware",
        "hardware\\description",
        "hardware\\description\\system",
        kProcessorKey,
    };
    if (std::find(std::begin(fixed), std::end(fixed), path) != std::end(fixed))
        return true;
    const int processor = processorOf(path);
    return processor >= 0 && LinuxFacts::processorExists(processor);
}

bool readValue(const std::string& path, const std::string& name, Value* out)
{
    if (path == "software\\microsoft\\cryptography" && name == "machineguid") {
        const std::string id = LinuxFacts::machineIdHex();
        if (id.empty())
            return false;
        *out = stringValue(id.substr(0, 8) + "-" + id.substr(8, 4) + "-" + id.substr(12, 4) + "-" + id.substr(16, 4)
                           + "-" + id.substr(20));
        return true;
    }
    const int processor = processorOf(path);
    if (processor >= 0 && name == "~mhz") {
        const std::optional<std::uint32_t> mhz = LinuxFacts::cpuMHz(processor);
        if (!mhz)
            return false;
        *out = dwordValue(*mhz);
        return true;
    }
    if (processor >= 0 && name == "processornamestring") {
        const std::string model = LinuxFacts::cpuInfoValue(processor, "model name");
        if (model.empty())
            return false;
        *out = stringValue(model);
        return true;
    }
    return false;
}

struct OpenKey {
    std::string path;
    std::uint32_t access;
};

class LinuxRegistry final : public Registry {
public:
    RegistryStatus openKey(RegistryKey root, const char* subKey, std::uint32_t, std::uint32_t access,
                           RegistryKey* result) override
    {
        if (!result)
            return ERROR_INVALID_PARAMETER_CODE;
        if ((access & KEY_WOW64_64KEY) && (access & KEY_WOW64_32KEY))
            return ERROR_INVALID_PARAMETER_CODE;
        std::lock_guard<std::mutex> lock(mutex_);
        std::string path;
        if (!pathOf(root, &path))
            return ERROR_INVALID_HANDLE_CODE;
        std::string sub = lowerCase(subKey ? subKey : "");
        while (!sub.empty() && sub.back() == '\\')
            sub.pop_back();
        if (!sub.empty())
            path = path.empty() ? sub : path + "\\" + sub;
        if (!keyExists(path))
            return ERROR_FILE_NOT_FOUND_CODE;
        const RegistryKey handle = nextHandle_;
        nextHandle_ += 4;
        open_[handle] = OpenKey{path, access};
        *result = handle;
        return 0;
    }

    RegistryStatus queryValue(RegistryKey key, const char* valueName, std::uint32_t* type, std::uint8_t* data,
                              std::uint32_t* dataSize) override
    {
        std::string path;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto it = open_.find(key);
            if (it == open_.end())
                return ERROR_INVALID_HANDLE_CODE;
            if (!(it->second.access & KEY_QUERY_VALUE))
                return ERROR_ACCESS_DENIED_CODE;
            path = it->second.path;
        }
        if (data && !dataSize)
            return ERROR_INVALID_PARAMETER_CODE;
        Value value;
        if (!readValue(path, lowerCase(valueName ? valueName : ""), &value))
            return ERROR_FILE_NOT_FOUND_CODE;
        if (type)
            *type = value.type;
        const auto size = static_cast<std::uint32_t>(value.bytes.size());
        if (!data) {
            if (dataSize)
                *dataSize = size;
            return 0;
        }
        if (*dataSize < size) {
            *dataSize = size;
            return ERROR_MORE_DATA_CODE;
        }
        std::memcpy(data, value.bytes.data(), size);
        *dataSize = size;
        return 0;
    }

    RegistryStatus closeKey(RegistryKey key) override
    {
        if (key == HKEY_LOCAL_MACHINE_KEY)
            return 0;
        std::lock_guard<std::mutex> lock(mutex_);
        return open_.erase(key) ? RegistryStatus(ERROR_SUCCESS_CODE) : RegistryStatus(ERROR_INVALID_HANDLE_CODE);
    }

private:
    bool pathOf(RegistryKey key, std::string* path) const
    {
        if (key == HKEY_LOCAL_MACHINE_KEY) {
            path->clear();
            return true;
        }
        const auto it = open_.find(key);
        if (it == open_.end())
            return false;
        *path = it->second.path;
        return true;
    }

    std::mutex mutex_;
    std::map<RegistryKey, OpenKey> open_;
    RegistryKey nextHandle_ = 0x100;
};

} // namespace

Registry& Registry::native() { return immortal<LinuxRegistry>(); }

} // namespace Platform
} // namespace Tellan
