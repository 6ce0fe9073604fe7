#include "Platform/Com.h"

#include "Platform/LinuxFacts.h"
#include "Platform/Platform.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <map>
#include <vector>

namespace Tellan {
namespace Platform {

namespace {

constexpr std::int32_t CIM_STRING = 8;

QString text(const char16_t* value) { return value ? QString::fromUtf16(value) : QString(); }

bool sameIgnoringCase(const QString& a, const char* b) { return a.compare(QLatin1String(b), Qt::CaseInsensitive) == 0; }

// The apartment of the calling thread.
struct Apartment {
    int initialisations = 0;
    bool multithreaded = false;
};
thread_local Apartment apartment;
std::atomic<bool> securitySet{false};

template <class Interface>
class RefCounted : public Interface {
public:
    std::uint32_t addRef() override { return ++references_; }
    std::uint32_t release() override
    {
        const std::uint32_t left = --references_;
        if (left == 0)
            delete this;
        return left;
    }

private:
    std::atomic<std::uint32_t> references_{1};
};

// Property name (as the class spells it) to value; a null value has vt VT_NULL.
typedef std::map<QString, Variant> Properties;

class Object final : public RefCounted<IWbemClassObject> {
public:
    explicit Object(Properties properties) : properties_(std::move(properties)) {}

    HRESULT get(const char16_t* name, std::int32_t, Variant* value, std::int32_t* type, std::int32_t* flavor) override
    {
        if (!name)
            return WBEM_E_INVALID_PARAMETER;
        for (const auto& property : properties_) {
            if (property.first.compare(text(name), Qt::CaseInsensitive) != 0)
                continue;
            if (value)
                *value = property.second;
            if (type)
                *type = CIM_STRING;
            if (flavor)
                *flavor = 0;
            return S_OK;
        }
        return WBEM_E_NOT_FOUND;
    }

private:
    Properties properties_;
};

class Enumerator final : public RefCounted<IEnumWbemClassObject> {
public:
    explicit Enumerator(std::vector<Properties> objects) : objects_(std::move(objects)) {}

    HRESULT next(std::int32_t, std::uint32_t count, IWbemClassObject** objects, std::uint32_t* returned) override
    {
        if (!objects || !returned)
            return WBEM_E_INVALID_PARAMETER;
        *returned = 0;
        while (*returned < count && position_ < objects_.size())
            objects[(*returned)++] = new Object(objects_[position_++]);
        return *returned == count ? S_OK : WBEM_S_FALSE;
    }

private:
    std::vector<Properties> objects_;
    std::size_t position_ = 0;
};

// SMBIOS system serial; null when the kernel does not offer it or it cannot
// be read (the file is readable by root only).
Variant biosSerialNumber()
{
    Variant value;
    value.vt = VT_NULL;
    const std::optional<std::string> bytes = LinuxFacts::dmiSerial();
    if (!bytes)
        return value;
    const QString serial = QString::fromUtf8(bytes->data(), static_cast<int>(bytes->size()));
    value.vt = VT_BSTR;
    value.bstrVal.assign(reinterpret_cast<const char16_t*>(serial.utf16()), static_cast<std::size_t>(serial.size()));
    return value;
}

class Services final : public RefCounted<IWbemServices> {
public:
    // "SELECT a, b FROM Class" (or "SELECT * FROM Class"); the one class
    // known here is Win32_BIOS with its SerialNumber.
    HRESULT execQuery(const char16_t* queryLanguage, const char16_t* query, std::int32_t, void*,
                      IEnumWbemClassObject** enumerator) override
    {
        if (!enumerator || !query)
            return WBEM_E_INVALID_PARAMETER;
        if (!sameIgnoringCase(text(queryLanguage), "WQL"))
            return WBEM_E_INVALID_QUERY_TYPE;
        const QString wql = text(query).simplified();
        const int from = wql.indexOf(QLatin1String(" FROM "), 0, Qt::CaseInsensitive);
        if (!wql.startsWith(QLatin1String("SELECT "), Qt::CaseInsensitive) || from < 7)
            return WBEM_E_INVALID_QUERY;
        const QString className = wql.mid(from + 6).trimmed();
        if (className.contains(QLatin1Char(' ')))
            return WBEM_E_INVALID_QUERY;
        if (!sameIgnoringCase(className, "Win32_BIOS"))
            return WBEM_E_INVALID_CLASS;

        const Properties all = {{QStringLiteral("SerialNumber"), biosSerialNumber()}};
        Properties selected;
        for (QString name : wql.mid(7, from - 7).split(QLatin1Char(','))) {
            name = name.trimmed();
            if (name == QLatin1String("*")) {
                selected = all;
                continue;
            }
            auto it = all.begin();
            while (it != all.end() && it->first.compare(name, Qt::CaseInsensitive) != 0)
                ++it;
            if (it == all.end())
                return WBEM_E_INVALID_QUERY;
            selected.insert(*it);
        }
        *enumerator = new Enumerator({selected});
        return S_OK;
    }
};

class Locator final : public RefCounted<IWbemLocator> {
public:
    HRESULT connectServer(const char16_t* networkResource, const char16_t*, const char16_t*, const char16_t*,
                          std::int32_t, const char16_t*, void*, IWbemServices** services) override
    {
        if (!services)
            return WBEM_E_INVALID_PARAMETER;
        if (!sameIgnoringCase(text(networkResource), "ROOT\\CIMV2"))
            return WBEM_E_INVALID_NAMESPACE;
        *services = new Services();
        return S_OK;
    }
};

class LinuxCom final : public Com {
public:
    HRESULT coInitializeEx(void* reserved, std::uint32_t coInit) override
    {
        if (reserved)
            return E_INVALIDARG;
        const bool multithreaded = !(coInit & COINIT_APARTMENTTHREADED);
        if (apartment.initialisations > 0) {
            if (apartment.multithreaded != multithreaded)
                return RPC_E_CHANGED_MODE;
            ++apartment.initialisations;
            return S_FALSE;
        }
        apartment.initialisations = 1;
        apartment.multithreaded = multithreaded;
        return S_OK;
    }

    void coUninitialize() override
    {
        if (apartment.initialisations > 0)
            --apartment.initialisations;
    }

    HRESULT coInitializeSecurity(const void*, std::int32_t, void*, void*, std::uint32_t, std::uint32_t, void*,
                                 std::uint32_t, void*) override
    {
        if (apartment.initialisations == 0)
            return CO_E_NOTINITIALIZED;
        return securitySet.exchange(true) ? RPC_E_TOO_LATE : S_OK;
    }

    HRESULT coCreateInstance(const Guid& clsid, IUnknown* outer, std::uint32_t classContext, const Guid& iid,
                             void** object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (apartment.initialisations == 0)
            return CO_E_NOTINITIALIZED;
        if (!(clsid == CLSID_WbemLocator) || !(classContext & CLSCTX_INPROC_SERVER))
            return REGDB_E_CLASSNOTREG;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        if (!(iid == IID_IWbemLocator))
            return E_NOINTERFACE;
        *object = static_cast<IWbemLocator*>(new Locator());
        return S_OK;
    }

    HRESULT coSetProxyBlanket(IUnknown* proxy, std::uint32_t, std::uint32_t, const char16_t*, std::uint32_t,
                              std::uint32_t, void*, std::uint32_t) override
    {
        return proxy ? S_OK : E_INVALIDARG;
    }
};

} // namespace

Com& Com::native() { return immortal<LinuxCom>(); }

} // namespace Platform
} // namespace Tellan
