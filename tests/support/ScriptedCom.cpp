#include "ScriptedCom.h"

namespace TestSupport {

using namespace Tellan::Platform;

namespace {

template <class Interface>
class Scripted : public Interface, public ScriptedInterface {
public:
    Scripted(ScriptedCom& com, std::string name) : com_(com), name_(std::move(name)) { com_.interfaceMade(this); }

    std::uint32_t addRef() override { return ++references_; }
    std::uint32_t release() override
    {
        com_.log("Release " + name_);
        if (references_ == 0) {
            com_.overReleased();
            return 0;
        }
        if (--references_ == 0)
            com_.interfaceGone();
        return references_;
    }

protected:
    ScriptedCom& com_;
    std::string name_;

private:
    std::uint32_t references_ = 1;
};

class Object final : public Scripted<IWbemClassObject> {
public:
    Object(ScriptedCom& com, std::string name, ScriptedWmiObject script)
        : Scripted(com, std::move(name)), script_(std::move(script))
    {
    }

    HRESULT get(const char16_t* name, std::int32_t flags, Variant* value, std::int32_t* type,
                std::int32_t* flavor) override
    {
        com_.log("Get " + name_ + " " + narrow(name) + " flags=" + std::to_string(flags)
                 + (type || flavor ? " with type or flavour" : ""));
        if (!script_.throwText.empty())
            throw std::runtime_error(script_.throwText);
        if (failed(script_.getResult))
            return script_.getResult;
        *value = script_.value;
        return S_OK;
    }

private:
    ScriptedWmiObject script_;
};

class Enumerator final : public Scripted<IEnumWbemClassObject> {
public:
    using Scripted::Scripted;

    HRESULT next(std::int32_t timeout, std::uint32_t count, IWbemClassObject** objects,
                 std::uint32_t* returned) override
    {
        com_.log("Next timeout=" + std::to_string(timeout) + " count=" + std::to_string(count));
        const int call = com_.nextCall();
        *returned = 0;
        if (call == com_.failingNext)
            return com_.nextResult;
        if (position_ >= com_.objects.size())
            return WBEM_S_FALSE;
        const std::size_t index = position_++;
        objects[0] = new Object(com_, "object" + std::to_string(index), com_.objects[index]);
        *returned = 1;
        return S_OK;
    }

private:
    std::size_t position_ = 0;
};

class Services final : public Scripted<IWbemServices> {
public:
    using Scripted::Scripted;

    HRESULT execQuery(const char16_t* language, const char16_t* query, std::int32_t flags, void* context,
                      IEnumWbemClassObject** enumerator) override
    {
        com_.log("ExecQuery " + narrow(language) + " \"" + narrow(query) + "\" flags=" + std::to_string(flags)
                 + (context ? " with context" : ""));
        if (failed(com_.queryResult))
            return com_.queryResult;
        *enumerator = new Enumerator(com_, "enumerator");
        return S_OK;
    }
};

class Locator final : public Scripted<IWbemLocator> {
public:
    using Scripted::Scripted;

    HRESULT connectServer(const char16_t* resource, const char16_t* user, const char16_t* password,
                          const char16_t* locale, std::int32_t securityFlags, const char16_t* authority, void* context,
                          IWbemServices** services) override
    {
        const bool rest = user || password || locale || securityFlags || authority || context;
        com_.log("ConnectServer " + narrow(resource) + (rest ? " with more" : ""));
        if (failed(com_.connectResult))
            return com_.connectResult;
        auto* made = new Services(com_, "services");
        com_.setServices(made);
        *services = made;
        return S_OK;
    }
};

} // namespace

ScriptedWmiObject ScriptedWmiObject::string(const std::u16string& text)
{
    ScriptedWmiObject o;
    o.value.vt = VT_BSTR;
    o.value.bstrVal = text;
    return o;
}

ScriptedWmiObject ScriptedWmiObject::null()
{
    ScriptedWmiObject o;
    o.value.vt = VT_NULL;
    return o;
}

std::string narrow(const char16_t* text)
{
    std::string out;
    for (; text && *text; ++text)
        out.push_back(static_cast<char>(*text & 0xFF));
    return text ? out : std::string("(null)");
}

ScriptedCom::ScriptedCom() = default;

ScriptedCom::~ScriptedCom() = default;

std::vector<std::string> ScriptedCom::journal() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return journal_;
}

int ScriptedCom::liveInterfaces() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return live_;
}

int ScriptedCom::overReleases() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return overReleases_;
}

void ScriptedCom::log(const std::string& entry)
{
    std::lock_guard<std::mutex> lock(mutex_);
    journal_.push_back(entry);
}

void ScriptedCom::interfaceMade(ScriptedInterface* made)
{
    std::lock_guard<std::mutex> lock(mutex_);
    made_.emplace_back(made);
    ++live_;
}

void ScriptedCom::interfaceGone()
{
    std::lock_guard<std::mutex> lock(mutex_);
    --live_;
}

void ScriptedCom::overReleased()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++overReleases_;
}

int ScriptedCom::nextCall()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return nextCalls_++;
}

HRESULT ScriptedCom::coInitializeEx(void* reserved, std::uint32_t coInit)
{
    log("CoInitializeEx coInit=" + std::to_string(coInit) + (reserved ? " with reserved" : ""));
    return initializeResult;
}

void ScriptedCom::coUninitialize() { log("CoUninitialize"); }

HRESULT ScriptedCom::coInitializeSecurity(const void* securityDescriptor, std::int32_t authServiceCount,
                                          void* authServices, void* reserved1, std::uint32_t authnLevel,
                                          std::uint32_t impLevel, void* authList, std::uint32_t capabilities,
                                          void* reserved3)
{
    const bool pointers = securityDescriptor || authServices || reserved1 || authList || reserved3;
    log("CoInitializeSecurity services=" + std::to_string(authServiceCount) + " authn=" + std::to_string(authnLevel)
        + " imp=" + std::to_string(impLevel) + " caps=" + std::to_string(capabilities)
        + (pointers ? " with pointers" : ""));
    return securityResult;
}

HRESULT ScriptedCom::coCreateInstance(const Guid& clsid, IUnknown* outer, std::uint32_t classContext, const Guid& iid,
                                      void** object)
{
    log(std::string("CoCreateInstance ") + (clsid == CLSID_WbemLocator ? "WbemLocator" : "other-class") + " "
        + (iid == IID_IWbemLocator ? "IWbemLocator" : "other-interface") + " context=" + std::to_string(classContext)
        + (outer ? " with outer" : ""));
    if (failed(createResult))
        return createResult;
    *object = static_cast<IWbemLocator*>(new Locator(*this, "locator"));
    return S_OK;
}

HRESULT ScriptedCom::coSetProxyBlanket(IUnknown* proxy, std::uint32_t authnService, std::uint32_t authzService,
                                       const char16_t* serverPrincipalName, std::uint32_t authnLevel,
                                       std::uint32_t impLevel, void* authInfo, std::uint32_t capabilities)
{
    log(std::string("CoSetProxyBlanket ") + (proxy && proxy == services_ ? "services" : "other-proxy")
        + " authn=" + std::to_string(authnService) + " authz=" + std::to_string(authzService)
        + " level=" + std::to_string(authnLevel) + " imp=" + std::to_string(impLevel)
        + " caps=" + std::to_string(capabilities) + (serverPrincipalName || authInfo ? " with pointers" : ""));
    return blanketResult;
}

} // namespace TestSupport
