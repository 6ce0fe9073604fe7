#pragma once

#include "Platform/Com.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace TestSupport {

// One object the scripted WMI query hands out.
struct ScriptedWmiObject {
    Tellan::Platform::HRESULT getResult = Tellan::Platform::S_OK;
    Tellan::Platform::Variant value;
    // Get throws std::runtime_error with this text when not empty.
    std::string throwText;

    static ScriptedWmiObject string(const std::u16string& text);
    static ScriptedWmiObject null();
};

// What ScriptedCom keeps of each interface it hands out, until it goes.
class ScriptedInterface {
public:
    virtual ~ScriptedInterface() = default;
};

// COM and a WMI service that answer from public members. Each call is
// written to a journal with its arguments, so a test sees the order of the
// calls and of the releases; every interface handed out is counted until its
// last reference goes.
class ScriptedCom : public Tellan::Platform::Com {
public:
    ScriptedCom();
    ~ScriptedCom() override;

    Tellan::Platform::HRESULT initializeResult = Tellan::Platform::S_OK;
    Tellan::Platform::HRESULT securityResult = Tellan::Platform::S_OK;
    Tellan::Platform::HRESULT createResult = Tellan::Platform::S_OK;
    Tellan::Platform::HRESULT connectResult = Tellan::Platform::S_OK;
    Tellan::Platform::HRESULT blanketResult = Tellan::Platform::S_OK;
    Tellan::Platform::HRESULT queryResult = Tellan::Platform::S_OK;
    // Next hands these out one by one, then says WBEM_S_FALSE with none.
    std::vector<ScriptedWmiObject> objects;
    // The Next call with this index (0 for the first) fails with nextResult.
    int failingNext = -1;
    Tellan::Platform::HRESULT nextResult = Tellan::Platform::E_FAIL;

    std::vector<std::string> journal() const;
    // Interfaces handed out whose last reference has not been released.
    int liveInterfaces() const;
    // Releases of an interface that had no reference left.
    int overReleases() const;

    Tellan::Platform::HRESULT coInitializeEx(void* reserved, std::uint32_t coInit) override;
    void coUninitialize() override;
    Tellan::Platform::HRESULT coInitializeSecurity(const void* securityDescriptor, std::int32_t authServiceCount,
                                                   void* authServices, void* reserved1, std::uint32_t authnLevel,
                                                   std::uint32_t impLevel, void* authList, std::uint32_t capabilities,
                                                   void* reserved3) override;
    Tellan::Platform::HRESULT coCreateInstance(const Tellan::Platform::Guid& clsid, Tellan::Platform::IUnknown* outer,
                                               std::uint32_t classContext, const Tellan::Platform::Guid& iid,
                                               void** object) override;
    Tellan::Platform::HRESULT coSetProxyBlanket(Tellan::Platform::IUnknown* proxy, std::uint32_t authnService,
                                                std::uint32_t authzService, const char16_t* serverPrincipalName,
                                                std::uint32_t authnLevel, std::uint32_t impLevel, void* authInfo,
                                                std::uint32_t capabilities) override;

    // Used by the scripted interfaces.
    void log(const std::string& entry);
    void interfaceMade(ScriptedInterface* made);
    void interfaceGone();
    void overReleased();
    int nextCall();
    Tellan::Platform::IUnknown* services() const { return services_; }
    void setServices(Tellan::Platform::IUnknown* services) { services_ = services; }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> journal_;
    // Interfaces stay until the facility goes, so that an over-release is
    // counted rather than a crash.
    std::vector<std::unique_ptr<ScriptedInterface>> made_;
    int live_ = 0;
    int overReleases_ = 0;
    int nextCalls_ = 0;
    Tellan::Platform::IUnknown* services_ = nullptr;
};

// UTF-16 text as 8-bit, each unit's low byte (test output only).
std::string narrow(const char16_t* text);

} // namespace TestSupport
