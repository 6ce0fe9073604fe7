#pragma once

// COM and the WMI client interfaces, in the shape the programs call them:
// HRESULT results, interface pointers handed out with one reference that the
// receiver releases.

#include <cstdint>
#include <string>

namespace Tellan {
namespace Platform {

typedef std::int32_t HRESULT;

constexpr bool succeeded(HRESULT hr) { return hr >= 0; }
constexpr bool failed(HRESULT hr) { return hr < 0; }
constexpr HRESULT hresult(std::uint32_t bits) { return static_cast<HRESULT>(bits); }

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOINTERFACE = hresult(0x80004002u);
constexpr HRESULT E_POINTER = hresult(0x80004003u);
constexpr HRESULT E_FAIL = hresult(0x80004005u);
constexpr HRESULT E_INVALIDARG = hresult(0x80070057u);
constexpr HRESULT CLASS_E_NOAGGREGATION = hresult(0x80040110u);
constexpr HRESULT REGDB_E_CLASSNOTREG = hresult(0x80040154u);
constexpr HRESULT CO_E_NOTINITIALIZED = hresult(0x800401F0u);
constexpr HRESULT RPC_E_CHANGED_MODE = hresult(0x80010106u);
constexpr HRESULT RPC_E_TOO_LATE = hresult(0x80010119u);
constexpr HRESULT WBEM_S_FALSE = 1;
constexpr HRESULT WBEM_E_NOT_FOUND = hresult(0x80041002u);
constexpr HRESULT WBEM_E_INVALID_PARAMETER = hresult(0x80041008u);
constexpr HRESULT WBEM_E_INVALID_NAMESPACE = hresult(0x8004100Eu);
constexpr HRESULT WBEM_E_INVALID_CLASS = hresult(0x80041010u);
constexpr HRESULT WBEM_E_INVALID_QUERY = hresult(0x80041017u);
constexpr HRESULT WBEM_E_INVALID_QUERY_TYPE = hresult(0x80041018u);

enum : std::uint32_t {
    COINIT_MULTITHREADED = 0x0,
    COINIT_APARTMENTTHREADED = 0x2,
};
enum : std::uint32_t { CLSCTX_INPROC_SERVER = 0x1 };
enum : std::uint32_t {
    RPC_C_AUTHN_LEVEL_DEFAULT = 0,
    RPC_C_AUTHN_LEVEL_CALL = 3,
    RPC_C_IMP_LEVEL_IMPERSONATE = 3,
    RPC_C_AUTHN_WINNT = 10,
    RPC_C_AUTHZ_NONE = 0,
    EOAC_NONE = 0,
};
enum : std::int32_t {
    WBEM_FLAG_RETURN_IMMEDIATELY = 0x10,
    WBEM_FLAG_FORWARD_ONLY = 0x20,
    WBEM_INFINITE = -1,
};

struct Guid {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
};
bool operator==(const Guid& a, const Guid& b);

extern const Guid CLSID_WbemLocator;
extern const Guid IID_IWbemLocator;

// VARIANT, the kinds WMI hands out here. A BSTR is kept by value; its
// length (SysStringLen) is bstrVal.size() and it may hold NUL units.
enum VarType : std::uint16_t {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I4 = 3,
    VT_BSTR = 8,
};
struct Variant {
    std::uint16_t vt = VT_EMPTY;
    std::int32_t lVal = 0;
    std::u16string bstrVal;
};
// VariantClear
void variantClear(Variant* value);

class IUnknown {
public:
    virtual std::uint32_t addRef() = 0;
    // Drops one reference; the object goes away with the last one.
    virtual std::uint32_t release() = 0;

protected:
    virtual ~IUnknown() = default;
};

class IWbemClassObject : public IUnknown {
public:
    // IWbemClassObject::Get; type and flavor may be null.
    virtual HRESULT get(const char16_t* name, std::int32_t flags, Variant* value, std::int32_t* type,
                        std::int32_t* flavor) = 0;
};

class IEnumWbemClassObject : public IUnknown {
public:
    // IEnumWbemClassObject::Next: up to count objects into objects, their
    // number into *returned; WBEM_S_FALSE when fewer than count came.
    virtual HRESULT next(std::int32_t timeout, std::uint32_t count, IWbemClassObject** objects,
                         std::uint32_t* returned) = 0;
};

class IWbemServices : public IUnknown {
public:
    // IWbemServices::ExecQuery
    virtual HRESULT execQuery(const char16_t* queryLanguage, const char16_t* query, std::int32_t flags, void* context,
                              IEnumWbemClassObject** enumerator) = 0;
};

class IWbemLocator : public IUnknown {
public:
    // IWbemLocator::ConnectServer
    virtual HRESULT connectServer(const char16_t* networkResource, const char16_t* user, const char16_t* password,
                                  const char16_t* locale, std::int32_t securityFlags, const char16_t* authority,
                                  void* context, IWbemServices** services) = 0;
};

// The COM run-time. The apartment is per thread: CoInitializeEx gives S_OK
// for the first initialisation, S_FALSE for a nested one of the same kind
// (each needs its CoUninitialize) and RPC_E_CHANGED_MODE when the thread
// already belongs to the other kind. The process's security is set once;
// every later CoInitializeSecurity gets RPC_E_TOO_LATE.
//
// The Linux implementation offers the WMI locator with one namespace,
// ROOT\CIMV2, and one class, Win32_BIOS, whose SerialNumber comes from
// /sys/class/dmi/id/product_serial (null when that cannot be read).
class Com {
public:
    virtual ~Com() = default;

    virtual HRESULT coInitializeEx(void* reserved, std::uint32_t coInit) = 0;
    virtual void coUninitialize() = 0;
    virtual HRESULT coInitializeSecurity(const void* securityDescriptor, std::int32_t authServiceCount,
                                         void* authServices, void* reserved1, std::uint32_t authnLevel,
                                         std::uint32_t impLevel, void* authList, std::uint32_t capabilities,
                                         void* reserved3) = 0;
    // The object comes with one reference, as the interface named by iid.
    virtual HRESULT coCreateInstance(const Guid& clsid, IUnknown* outer, std::uint32_t classContext, const Guid& iid,
                                     void** object) = 0;
    virtual HRESULT coSetProxyBlanket(IUnknown* proxy, std::uint32_t authnService, std::uint32_t authzService,
                                      const char16_t* serverPrincipalName, std::uint32_t authnLevel,
                                      std::uint32_t impLevel, void* authInfo, std::uint32_t capabilities) = 0;

    static Com& native();
};

} // namespace Platform
} // namespace Tellan
