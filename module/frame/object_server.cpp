// The object-server thread and its facade.
#include "frame/object_server.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "frame/diagnostic_log.h"
#include "frame/trace.h"

CVB_ObjectServer* g_pObjectServer = nullptr;
HANDLE g_hObjectServerStarted = nullptr;

namespace {

constexpr char kExcelProgId[] = "MvFunctions.clsExcelServer";
constexpr char kAdoProgId[] = "MvFunctions.clsAdoServer";
constexpr char kConfigurationProgId[] = "MvDRVSVR.IConfiguration";
constexpr char kControlRecipeProgId[] = "MvDRVSVR.IControlRecipe";
constexpr char kDataAccessProgId[] = "MvDRVSVR.IDataAccess";

// The facade's state. g_pObjectServer is the raw view of `owner`; both
// change only under `lock`. Callers work on a shared copy of the owner, so
// a stop on another thread never frees the object under them. Constant-
// initialised, so that it is destroyed after the module's shut-down (which
// stops the server) also at process end; a server still running then is
// left alone, as no static destructor waits on a thread.
struct Facade {
    std::mutex lock;
    std::shared_ptr<CVB_ObjectServer> owner;
    ~Facade() {
        if (owner) new std::shared_ptr<CVB_ObjectServer>(std::move(owner));
    }
};
constinit Facade g_facade;

Facade& TheFacade() {
    return g_facade;
}

std::atomic<HRESULT> s_apartmentFailure{S_OK};
std::atomic<HRESULT> s_tableFailure{S_OK};

// printf into a std::string.
template <class... Args>
std::string Format(const char* format, Args... args) {
    int n = std::snprintf(nullptr, 0, format, args...);
    if (n <= 0) return {};
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), format, args...);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string Truncated(std::string text, size_t max) {
    if (text.size() > max) text.resize(max);
    return text;
}

// The running thread object, started when there is none; null when the
// thread cannot be begun.
std::shared_ptr<CVB_ObjectServer> AcquireObjectServer() {
    Facade& f = TheFacade();
    std::lock_guard lock(f.lock);
    if (!f.owner) {
        std::shared_ptr<CVB_ObjectServer> server;
        try {
            server = std::make_shared<CVB_ObjectServer>();
        } catch (...) {
            return nullptr;
        }
        CVB_ObjectServer* raw = server.get();
        // Start returns once InitInstance has returned on the new thread.
        if (!server->m_Thread.Start([raw] { raw->InitInstance(); }, [raw] { raw->ExitInstance(); }))
            return nullptr;
        f.owner = server;
        g_pObjectServer = raw;
        if (g_hObjectServerStarted) WaitForSingleObject(g_hObjectServerStarted, INFINITE);
    }
    return f.owner;
}

}  // namespace

std::string ObjectServer_ErrorMessage(HRESULT hr) {
    char buffer[1024];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(hr), 0, buffer, sizeof buffer, nullptr);
    if (n > 0) {
        std::string text(buffer, n);
        if (!text.empty() && text.back() == '\n') {
            text.pop_back();
            if (!text.empty() && text.back() == '\r') text.pop_back();
        }
        return text;
    }
    const auto code = static_cast<uint32_t>(hr);
    if (code >= 0x80040201u && code <= 0x8004FFFFu)
        return Format("IDispatch error #%d", static_cast<int>(code - 0x80040200u));
    return Truncated(Format("Unknown error 0x%0X", static_cast<unsigned>(code)), 31);
}

void ObjectServer_SetStartupFailuresForTesting(HRESULT apartment, HRESULT table) {
    s_apartmentFailure = apartment;
    s_tableFailure = table;
}

// ---------------------------------------------------------------------------
// The thread object
// ---------------------------------------------------------------------------
CVB_ObjectServer::CVB_ObjectServer() {
    InitializeCriticalSection(&m_csGIT);
    InitializeCriticalSection(&m_csStop);
}

CVB_ObjectServer::~CVB_ObjectServer() {
    // A thread never stopped ends before the members it uses go.
    m_Thread.Quit();
    m_Thread.Join();
    if (m_pGIT) m_pGIT->Release();
    DeleteCriticalSection(&m_csStop);
    DeleteCriticalSection(&m_csGIT);
}

BOOL CVB_ObjectServer::InitInstance() {
    // Each server lives on through the table's reference once these go.
    mv::ComPtr<IDispatch> excel, ado, configuration, controlRecipe, dataAccess;
    try {
        m_InitError.Free();
        HRESULT hr = s_apartmentFailure.load();
        if (hr == S_OK) hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (FAILED(hr)) {
            std::string text =
                "CVB_ObjectServer::InitInstance : Failed to initialize the Microsoft COM layer. " +
                ObjectServer_ErrorMessage(hr);
            m_InitError = text.c_str();
            MvLogErrorHr("CVB_ObjectServer::InitInstance", hr);
            MvLogErrorA("CVB_ObjectServer::InitInstance", m_InitError.CStr());
        } else {
            m_bCOMStarted = 1;
            hr = s_tableFailure.load();
            if (hr == S_OK)
                hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_ALL,
                                      IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&m_pGIT));
            if (FAILED(hr)) {
                m_pGIT = nullptr;
                if (hr != E_NOINTERFACE) m_InitError = ObjectServer_ErrorMessage(hr).c_str();
            }
            if (m_pGIT) {
                CreateDispatchObject(excel, kExcelProgId, m_ExcelServer.Cookie,
                                     m_ExcelServer.ErrorCode, m_ExcelServer.ErrorText);
                CreateDispatchObject(ado, kAdoProgId, m_AdoServer.Cookie, m_AdoServer.ErrorCode,
                                     m_AdoServer.ErrorText);
                CreateDispatchObject(configuration, kConfigurationProgId,
                                     m_ConfigurationServer.Cookie, m_ConfigurationServer.ErrorCode,
                                     m_ConfigurationServer.ErrorText);
                CreateDispatchObject(controlRecipe, kControlRecipeProgId,
                                     m_ControlRecipeServer.Cookie, m_ControlRecipeServer.ErrorCode,
                                     m_ControlRecipeServer.ErrorText);
                CreateDispatchObject(dataAccess, kDataAccessProgId, m_DataAccessServer.Cookie,
                                     m_DataAccessServer.ErrorCode, m_DataAccessServer.ErrorText);
            }
        }
    } catch (...) {
        // Out of memory while forming a text: the start-up still ends below.
    }
    SetEvent(g_hObjectServerStarted);
    return TRUE;
}

int CVB_ObjectServer::ExitInstance() {
    if (m_bCOMStarted) CoUninitialize();
    return 0;
}

void CVB_ObjectServer::CreateDispatchObject(mv::ComPtr<IDispatch>& driver, const char* progId,
                                            DWORD& cookie, HRESULT& errorCode,
                                            CharString& errorText) {
    constexpr char kName[] = "CVB_ObjectServer::CreateDispatchObject";
    CLSID clsid{};
    std::u16string wideProgId = mv::ToUtf16(progId);
    HRESULT hr = CLSIDFromProgID(wideProgId.c_str(), &clsid);
    if (SUCCEEDED(hr)) {
        mv::ComPtr<IUnknown> unknown;
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IUnknown, unknown.PutVoid());
        if (SUCCEEDED(hr)) hr = unknown->QueryInterface(IID_IDispatch, driver.PutVoid());
    }
    if (FAILED(hr)) {
        driver.Reset();
        errorCode = hr;
        std::string text = Format("Failed to create component. %s (COM ProgId = %s)",
                                  Truncated(ObjectServer_ErrorMessage(hr), 255).c_str(), progId);
        errorText = text.c_str();
        if (!std::strstr(progId, "MvDRVSVR.")) {
            MvLogErrorHr(kName, E_FAIL);
            MvLogErrorA(kName, errorText.CStr());
        } else if (g_DiagnosticLog.IsOn(LogSteps)) {
            MvLogLine({kName, "( ", errorText.CStr(), " )"});
        }
        return;
    }
    if (!m_pGIT) return;
    mv::ComPtr<IUnknown> unknown;
    hr = driver->QueryInterface(IID_IUnknown, unknown.PutVoid());
    if (SUCCEEDED(hr))
        hr = m_pGIT->RegisterInterfaceInGlobal(unknown.get(), IID_IDispatch, &cookie);
    if (FAILED(hr)) {
        cookie = 0;
        errorCode = hr;
        std::string text = Format("Failed to register to the GIT. %s (COM ProgId = %s)",
                                  Truncated(ObjectServer_ErrorMessage(hr), 255).c_str(), progId);
        errorText = text.c_str();
        MvLogErrorHr(kName, E_FAIL);
        MvLogErrorA(kName, errorText.CStr());
    }
}

IDispatch* CVB_ObjectServer::GetInterfaceFromGIT(DWORD cookie, HRESULT& errorCode,
                                                 CharString& errorText) {
    mv::CriticalSectionLock lock(m_csGIT);
    if (cookie == 0 || !m_pGIT) return nullptr;
    IDispatch* dispatch = nullptr;
    HRESULT hr =
        m_pGIT->GetInterfaceFromGlobal(cookie, IID_IDispatch, reinterpret_cast<void**>(&dispatch));
    if (FAILED(hr)) {
        errorCode = hr;
        errorText = "Failed get component interface from GIT.";
        return nullptr;
    }
    return dispatch;
}

IDispatch* CVB_ObjectServer::GetExcelServer() {
    return GetInterfaceFromGIT(m_ExcelServer.Cookie, m_ExcelServer.ErrorCode,
                               m_ExcelServer.ErrorText);
}
IDispatch* CVB_ObjectServer::GetAdoServer() {
    return GetInterfaceFromGIT(m_AdoServer.Cookie, m_AdoServer.ErrorCode, m_AdoServer.ErrorText);
}
IDispatch* CVB_ObjectServer::GetControlRecipeServer() {
    return GetInterfaceFromGIT(m_ControlRecipeServer.Cookie, m_ControlRecipeServer.ErrorCode,
                               m_ControlRecipeServer.ErrorText);
}
IDispatch* CVB_ObjectServer::GetDataAccessServer() {
    return GetInterfaceFromGIT(m_DataAccessServer.Cookie, m_DataAccessServer.ErrorCode,
                               m_DataAccessServer.ErrorText);
}

HRESULT CVB_ObjectServer::CheckServer(CharString& text, const char* displayName, HRESULT errorCode,
                                      const CharString& errorText) {
    text.Free();
    // The records change under this lock when a lookup fails.
    mv::CriticalSectionLock lock(m_csGIT);
    if (!m_pGIT) {
        std::string message = Format(
            "Could not create %s because the Microsoft COM Global Interface Table object is "
            "not instantiated.",
            displayName);
        if (!m_InitError.IsEmpty()) message += std::string(" ") + m_InitError.CStr();
        text = message.c_str();
        return E_NOINTERFACE;
    }
    if (errorCode < 0) {
        std::string message =
            Format("Error calling %s interface. ", displayName) + errorText.CStr();
        text = message.c_str();
        return errorCode;
    }
    return S_OK;
}

HRESULT CVB_ObjectServer::CheckExcelServer(CharString& text) {
    mv::CriticalSectionLock lock(m_csGIT);
    return CheckServer(text, "Morva Calc Excel Server", m_ExcelServer.ErrorCode,
                       m_ExcelServer.ErrorText);
}

HRESULT CVB_ObjectServer::CheckAdoServer(CharString& text) {
    mv::CriticalSectionLock lock(m_csGIT);
    return CheckServer(text, "Morva Calc ADO Server", m_AdoServer.ErrorCode, m_AdoServer.ErrorText);
}

void CVB_ObjectServer::RevokeFromGIT(DWORD cookie) {
    if (m_pGIT) m_pGIT->RevokeInterfaceFromGlobal(cookie);
}

void CVB_ObjectServer::RevokeAll() {
    RevokeFromGIT(m_ExcelServer.Cookie);
    RevokeFromGIT(m_AdoServer.Cookie);
    RevokeFromGIT(m_ConfigurationServer.Cookie);
    RevokeFromGIT(m_ControlRecipeServer.Cookie);
    RevokeFromGIT(m_DataAccessServer.Cookie);
}

// ---------------------------------------------------------------------------
// Facade
// ---------------------------------------------------------------------------
void ObjectServer_EnsureStarted() {
    AcquireObjectServer();
}

IDispatch* ObjectServer_GetExcelServer() {
    std::shared_ptr<CVB_ObjectServer> server = AcquireObjectServer();
    return server ? server->GetExcelServer() : nullptr;
}

IDispatch* ObjectServer_GetAdoServer() {
    std::shared_ptr<CVB_ObjectServer> server = AcquireObjectServer();
    return server ? server->GetAdoServer() : nullptr;
}

IDispatch* ObjectServer_GetControlRecipeServer() {
    std::shared_ptr<CVB_ObjectServer> server = AcquireObjectServer();
    return server ? server->GetControlRecipeServer() : nullptr;
}

IDispatch* ObjectServer_GetDataAccessServer() {
    std::shared_ptr<CVB_ObjectServer> server = AcquireObjectServer();
    return server ? server->GetDataAccessServer() : nullptr;
}

HRESULT ObjectServer_CheckExcelServer(CharString& text) {
    text.Free();
    std::shared_ptr<CVB_ObjectServer> server = AcquireObjectServer();
    return server ? server->CheckExcelServer(text) : S_OK;
}

HRESULT ObjectServer_CheckAdoServer(CharString& text) {
    text.Free();
    std::shared_ptr<CVB_ObjectServer> server = AcquireObjectServer();
    return server ? server->CheckAdoServer(text) : S_OK;
}

void ObjectServer_Stop() {
    Facade& f = TheFacade();
    std::shared_ptr<CVB_ObjectServer> server;
    {
        std::lock_guard lock(f.lock);
        server = f.owner;
    }
    if (!server) return;
    {
        mv::CriticalSectionLock stop(server->m_csStop);
        if (!server->m_bStopped) {
            server->RevokeAll();
            server->m_Thread.Quit();
            WaitForThreadPumpingMessages(server->m_Thread);
            server->m_bStopped = true;
        }
    }
    std::lock_guard lock(f.lock);
    if (f.owner == server) {
        f.owner.reset();
        g_pObjectServer = nullptr;
    }
    // A getter may still hold the object; the last holder destroys it.
}

BOOL WaitForThreadPumpingMessages(mv::Apartment& thread) {
    return thread.Join() ? TRUE : FALSE;
}
