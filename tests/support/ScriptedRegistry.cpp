#include "ScriptedRegistry.h"

#include "Platform/Platform.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace TestSupport {

using namespace Tellan::Platform;

std::string ScriptedRegistry::normalised(const std::string& path)
{
    std::string out = path;
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    while (!out.empty() && out.back() == '\\')
        out.pop_back();
    return out;
}

ScriptedRegistry::Key& ScriptedRegistry::key(View view, const std::string& path)
{
    return keys_[view][normalised(path)];
}

void ScriptedRegistry::addKey(View view, const std::string& path)
{
    std::lock_guard<std::mutex> lock(mutex_);
    key(view, path);
}

void ScriptedRegistry::setValue(View view, const std::string& path, const std::string& name, std::uint32_t type,
                                std::vector<std::uint8_t> bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Value& v = key(view, path).values[normalised(name)];
    v.type = type;
    v.bytes = std::move(bytes);
}

void ScriptedRegistry::setString(View view, const std::string& path, const std::string& name, const std::string& text)
{
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    setValue(view, path, name, REG_SZ, std::move(bytes));
}

void ScriptedRegistry::setDword(View view, const std::string& path, const std::string& name, std::uint32_t value)
{
    std::vector<std::uint8_t> bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    setValue(view, path, name, REG_DWORD, std::move(bytes));
}

void ScriptedRegistry::setValueInBoth(const std::string& path, const std::string& name, std::uint32_t type,
                                      const std::vector<std::uint8_t>& bytes)
{
    setValue(OWN_VIEW, path, name, type, bytes);
    setValue(VIEW_64, path, name, type, bytes);
}

void ScriptedRegistry::failOpen(View view, const std::string& path, RegistryStatus status)
{
    std::lock_guard<std::mutex> lock(mutex_);
    key(view, path).openFailure = status;
}

void ScriptedRegistry::failRead(View view, const std::string& path, const std::string& name, RegistryStatus status)
{
    std::lock_guard<std::mutex> lock(mutex_);
    key(view, path).values[normalised(name)].failure = status;
}

std::vector<ScriptedRegistry::Call> ScriptedRegistry::calls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

int ScriptedRegistry::openKeys() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(open_.size());
}

RegistryStatus ScriptedRegistry::openKey(RegistryKey root, const char* subKey, std::uint32_t, std::uint32_t access,
                                         RegistryKey* result)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Call call;
    call.what = "open";
    call.path = subKey ? subKey : "";
    call.access = access;
    calls_.push_back(call);
    if (root != HKEY_LOCAL_MACHINE_KEY)
        return ERROR_INVALID_HANDLE_CODE;
    const View view = (access & KEY_WOW64_64KEY) ? VIEW_64 : OWN_VIEW;
    const auto it = keys_[view].find(normalised(call.path));
    if (it == keys_[view].end())
        return ERROR_FILE_NOT_FOUND_CODE;
    if (it->second.openFailure != 0)
        return it->second.openFailure;
    *result = nextHandle_++;
    open_[*result] = Open{view, it->first};
    return 0;
}

RegistryStatus ScriptedRegistry::queryValue(RegistryKey handle, const char* valueName, std::uint32_t* type,
                                            std::uint8_t* data, std::uint32_t* dataSize)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Call call;
    call.what = "query";
    call.value = valueName ? valueName : "";
    call.capacity = dataSize ? *dataSize : 0;
    const auto open = open_.find(handle);
    if (open != open_.end())
        call.path = open->second.path;
    calls_.push_back(call);
    if (open == open_.end())
        return ERROR_INVALID_HANDLE_CODE;
    const Key& k = keys_[open->second.view][open->second.path];
    const auto v = k.values.find(normalised(call.value));
    if (v == k.values.end())
        return ERROR_FILE_NOT_FOUND_CODE;
    if (v->second.failure != 0)
        return v->second.failure;
    const auto size = static_cast<std::uint32_t>(v->second.bytes.size());
    if (type)
        *type = v->second.type;
    if (data && *dataSize < size) {
        *dataSize = size;
        return ERROR_MORE_DATA_CODE;
    }
    if (data)
        std::memcpy(data, v->second.bytes.data(), size);
    if (dataSize)
        *dataSize = size;
    return 0;
}

RegistryStatus ScriptedRegistry::closeKey(RegistryKey handle)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Call call;
    call.what = "close";
    const auto open = open_.find(handle);
    if (open == open_.end()) {
        calls_.push_back(call);
        return ERROR_INVALID_HANDLE_CODE;
    }
    call.path = open->second.path;
    calls_.push_back(call);
    open_.erase(open);
    return 0;
}

} // namespace TestSupport
