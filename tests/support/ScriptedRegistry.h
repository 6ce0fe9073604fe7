#pragma once

#include "Platform/Registry.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace TestSupport {

// A registry with two views (the process's own and the 64-bit one) that a
// test fills key by key. Missing keys and values give 2; any open or read can
// be made to fail with any status. Paths compare without regard to case or a
// trailing backslash.
class ScriptedRegistry : public Tellan::Platform::Registry {
public:
    enum View { OWN_VIEW, VIEW_64 };

    struct Call {
        std::string what; // "open", "query", "close"
        std::string path; // the key's path
        std::uint32_t access = 0; // open: the access asked for
        std::string value; // query: the value's name
        std::uint32_t capacity = 0; // query: *dataSize on entry
    };

    void addKey(View view, const std::string& path);
    void setValue(View view, const std::string& path, const std::string& name, std::uint32_t type,
                  std::vector<std::uint8_t> bytes);
    void setString(View view, const std::string& path, const std::string& name, const std::string& text);
    void setDword(View view, const std::string& path, const std::string& name, std::uint32_t value);
    // The same key or value in both views.
    void setValueInBoth(const std::string& path, const std::string& name, std::uint32_t type,
                        const std::vector<std::uint8_t>& bytes);
    void failOpen(View view, const std::string& path, Tellan::Platform::RegistryStatus status);
    void failRead(View view, const std::string& path, const std::string& name, Tellan::Platform::RegistryStatus status);

    std::vector<Call> calls() const;
    // Keys opened and not closed yet.
    int openKeys() const;

    Tellan::Platform::RegistryStatus openKey(Tellan::Platform::RegistryKey root, const char* subKey,
                                             std::uint32_t options, std::uint32_t access,
                                             Tellan::Platform::RegistryKey* result) override;
    Tellan::Platform::RegistryStatus queryValue(Tellan::Platform::RegistryKey key, const char* valueName,
                                                std::uint32_t* type, std::uint8_t* data,
                                                std::uint32_t* dataSize) override;
    Tellan::Platform::RegistryStatus closeKey(Tellan::Platform::RegistryKey key) override;

private:
    struct Value {
        std::uint32_t type = 0;
        std::vector<std::uint8_t> bytes;
        Tellan::Platform::RegistryStatus failure = 0;
    };
    struct Key {
        Tellan::Platform::RegistryStatus openFailure = 0;
        std::map<std::string, Value> values;
    };
    struct Open {
        View view;
        std::string path;
    };

    static std::string normalised(const std::string& path);
    Key& key(View view, const std::string& path);

    mutable std::mutex mutex_;
    std::map<std::string, Key> keys_[2];
    std::map<Tellan::Platform::RegistryKey, Open> open_;
    Tellan::Platform::RegistryKey nextHandle_ = 0x1000;
    std::vector<Call> calls_;
};

} // namespace TestSupport
