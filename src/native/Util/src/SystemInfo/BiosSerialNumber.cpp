#include "SystemInfo/SystemInfo.h"

#include "Logging/Log.h"
#include "Platform/Com.h"
#include "Platform/ComError.h"
#include "Platform/Platform.h"

#include <exception>

using namespace Tellan::Platform;

// The WMI query: one property of one class as narrow text. Every call
// initialises COM on the calling thread, connects, queries and tears it all
// down again; nothing is kept but the process's COM security.
namespace {

const char kComponent[] = "SystemInfoWin";

QString errorText(HRESULT result) { return ComError(result).errorMessage(); }

// COM for this thread (S_FALSE, already initialised alike, counts as
// success) and the process's security, which only the first call sets.
HRESULT InitializeCom()
{
    Com& com = Installed<Com>::get();
    HRESULT hr = com.coInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (failed(hr)) {
        TLOG_EVENT(ERROR, kComponent, "systemInfoInitializeComFailed", {"errorCode", errorText(hr)});
        return hr;
    }
    hr = com.coInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                                  nullptr, EOAC_NONE, nullptr);
    if (hr == RPC_E_TOO_LATE) {
        TLOG_EVENT(WARNING, kComponent, "systemInfoInitializeSecurityAlreadyCalled", {"returnCode", errorText(hr)});
        return S_OK;
    }
    if (failed(hr)) {
        com.coUninitialize();
        TLOG_EVENT(ERROR, kComponent, "systemInfoInitializeSecurityFailed", {"errorCode", errorText(hr)});
        return hr;
    }
    return S_OK;
}

// On success the caller owns both references; on failure none is left.
HRESULT GetWbemService(IWbemLocator** locator, IWbemServices** services)
{
    Com& com = Installed<Com>::get();
    void* created = nullptr;
    HRESULT hr = com.coCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, &created);
    if (failed(hr)) {
        TLOG_EVENT(ERROR, kComponent, "createWMIComInterfaceFailed", {"errorCode", errorText(hr)});
        return hr;
    }
    *locator = static_cast<IWbemLocator*>(created);

    hr = (*locator)->connectServer(u"ROOT\\CIMV2", nullptr, nullptr, nullptr, 0, nullptr, nullptr, services);
    if (failed(hr)) {
        (*locator)->release();
        TLOG_EVENT(ERROR, kComponent, "connectToWMIFailed", {"errorCode", errorText(hr)});
        return hr;
    }

    hr = com.coSetProxyBlanket(*services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                               RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    if (failed(hr)) {
        (*services)->release();
        (*locator)->release();
        TLOG_EVENT(ERROR, kComponent, "setProxyBlanketFailed", {"errorCode", errorText(hr)});
        return hr;
    }
    return S_OK;
}

// The low byte of each UTF-16 unit, for the whole length of the string.
std::string lowBytes(const std::u16string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const char16_t unit : text)
        out.push_back(static_cast<char>(unit & 0xFF));
    return out;
}

// Takes the property of the first object whose property is a string;
// answer is left as it was when there is none.
HRESULT QueryValue(IWbemServices* services, const char16_t* query, const char16_t* property, std::string& answer)
{
    IEnumWbemClassObject* enumerator = nullptr;
    HRESULT hr =
        services->execQuery(u"WQL", query, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, &enumerator);
    if (failed(hr)) {
        TLOG_EVENT(ERROR, kComponent, "iWbemServicesQueryFailed", {"errorCode", errorText(hr)});
        return hr;
    }

    IWbemClassObject* object = nullptr;
    const auto releaseAll = [&]() {
        if (enumerator)
            enumerator->release();
        if (object)
            object->release();
        enumerator = nullptr;
        object = nullptr;
    };
    try {
        while (enumerator) {
            // Each object is released before the next is asked for, so no
            // reference but the last is left for releaseAll.
            if (object) {
                object->release();
                object = nullptr;
            }
            std::uint32_t returned = 0;
            hr = enumerator->next(WBEM_INFINITE, 1, &object, &returned);
            if (failed(hr)) {
                TLOG_EVENT(ERROR, kComponent, "iWbemServicesQueryEnumeratorNextFailed", {"errorCode", errorText(hr)});
                break;
            }
            if (returned == 0)
                break;

            Variant value;
            hr = object->get(property, 0, &value, nullptr, nullptr);
            if (failed(hr)) {
                TLOG_EVENT(ERROR, kComponent, "iWbemServicesQueryObjectGetFailed", {"errorCode", errorText(hr)});
                releaseAll();
                return hr;
            }
            const bool isString = value.vt == VT_BSTR;
            if (isString)
                answer = lowBytes(value.bstrVal);
            variantClear(&value);
            if (isString)
                break;
        }
    } catch (const std::exception& e) {
        releaseAll();
        TLOG_EVENT(ERROR, kComponent, "iWbemServicesQueryProcessingFailed") << " Failure: " << e.what();
        return E_FAIL;
    }
    releaseAll();
    return S_OK;
}

std::string getPropertyFromCOMAPI(const char16_t* query, const char16_t* property)
{
    HRESULT hr = InitializeCom();
    if (failed(hr)) {
        TLOG_EVENT(ERROR, kComponent, "getBIOSSNComInitFailed", {"errorCode", errorText(hr)});
        return std::string();
    }
    Com& com = Installed<Com>::get();

    IWbemLocator* locator = nullptr;
    IWbemServices* services = nullptr;
    hr = GetWbemService(&locator, &services);
    if (failed(hr)) {
        TLOG_EVENT(ERROR, kComponent, "getWbemServiceFailed", {"errorCode", errorText(hr)});
        com.coUninitialize();
        return std::string();
    }

    std::string answer;
    hr = QueryValue(services, query, property, answer);
    if (failed(hr)) {
        TLOG_EVENT(ERROR, kComponent, "COMQueryFailed", {"errorCode", errorText(hr)},
                   {"property", QString::fromUtf16(property)});
        answer.clear();
    }
    services->release();
    locator->release();
    com.coUninitialize();
    return answer;
}

} // namespace

namespace Zorvik {
namespace SystemInfo {

std::string getBiosSerialNumber()
{
    return getPropertyFromCOMAPI(u"SELECT SerialNumber FROM Win32_BIOS", u"SerialNumber").substr(0, 255);
}

} // namespace SystemInfo
} // namespace Zorvik
