#include "sources/opc_da_server.h"

#include <cstdio>
#include <memory>

#include "frame/app_globals.h"
#include "frame/trace.h"
#include "sources/data_source_locator.h"

namespace {

// Context of the browser's creation: in-process server and handler, local
// and remote server.
constexpr DWORD kBrowserContext =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr DWORD kServerContext = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr DWORD kGroupUpdateRate = 1000;  // ms
constexpr OPCHANDLE kGroupClientHandle = 1234;
constexpr DWORD kPauseAfterCreation = 1000;  // ms

// An HRESULT as "%lx" prints a 32-bit value.
std::string Hex(HRESULT hr) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%x", static_cast<uint32_t>(hr));
    return buffer;
}

// The text of a server or group that the Global Interface Table did not take.
std::string RegistrationFailedText(HRESULT hr) {
    return "Failed to register OPC server interface: (" + Hex(hr) + ")";
}

// An array that an OPC call allocated, freed with the task allocator (with
// what its entries own) when the holder goes.
template <class T>
class TaskMemArray {
public:
    explicit TaskMemArray(DWORD count) noexcept : count_(count) {}
    ~TaskMemArray() { Free(); }
    TaskMemArray(const TaskMemArray&) = delete;
    TaskMemArray& operator=(const TaskMemArray&) = delete;

    T** Put() noexcept {
        Free();
        return &p_;
    }
    T& operator[](DWORD i) const noexcept { return p_[i]; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    static void FreeEntry(HRESULT&) noexcept {}
    static void FreeEntry(OPCITEMRESULT& r) noexcept {
        CoTaskMemFree(r.pBlob);
        r.pBlob = nullptr;
    }
    static void FreeEntry(OPCITEMSTATE& s) noexcept { VariantClear(&s.vDataValue); }
    void Free() noexcept {
        if (!p_) return;
        for (DWORD i = 0; i < count_; ++i) FreeEntry(p_[i]);
        CoTaskMemFree(p_);
        p_ = nullptr;
    }

    T* p_ = nullptr;
    DWORD count_;
};

}  // namespace

std::string FormatHResultText(HRESULT hr) {
    LPSTR buffer = nullptr;
    DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(hr), 0x400, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    std::unique_ptr<char, HLOCAL (*)(HLOCAL)> owned(buffer, LocalFree);
    if (n > 0 && buffer) return std::string(buffer, n);
    char text[64];
    std::snprintf(text, sizeof text, "hr=%d", static_cast<int>(hr));
    return text;
}

COPCDAServer::COPCDAServer(const std::string& localComputerName)
    : m_LocalComputerName(localComputerName) {
    InitializeCriticalSection(&m_Lock);
}

COPCDAServer::~COPCDAServer() {
    DeleteCriticalSection(&m_Lock);
    if (m_GroupCookie) RemoveOpcInterface(&m_GroupCookie);
    if (m_ServerCookie) RemoveOpcInterface(&m_ServerCookie);
}

bool COPCDAServer::IsLocalHost(const std::string& host) const {
    return mv::EqualsNoCase(host, m_LocalComputerName);
}

HRESULT COPCDAServer::ConnectFromDataSource(const std::string& dataSource, std::string& errorText) {
    m_DataSourceName = dataSource;
    errorText.clear();
    DataSourceLocator locator;
    std::string progId;
    std::string host;
    const char* const names[] = {"ProgID", "Host"};
    std::string* const targets[] = {&progId, &host};
    for (int i = 0; i < 2; ++i) {
        if (!locator.GetDataSourceProperty(kOpcDaServerCategory, dataSource.c_str(), names[i],
                                           targets[i])) {
            errorText = std::string("Get MDSA property: failed to get ") + names[i] +
                        " property from " + dataSource + " DSN";
            return E_FAIL;
        }
    }
    // Only the exact text "-1" switches a flag on.
    std::string flag;
    m_UseCache = locator.GetDataSourceProperty(kOpcDaServerCategory, dataSource.c_str(), "OPCCache",
                                               &flag) &&
                 flag == "-1";
    m_BadStatusOnItemError = locator.GetDataSourceProperty(kOpcDaServerCategory, dataSource.c_str(),
                                                           "OPCbadStatus", &flag) &&
                             flag == "-1";
    CLSID clsid = CLSID_NULL;
    if (!ResolveServerClsid(host, progId, &clsid, errorText)) return E_FAIL;
    HRESULT hr = Connect(clsid, host, errorText);
    if (FAILED(hr)) return hr;
    return AddGroup(errorText);
}

bool COPCDAServer::ResolveServerClsid(const std::string& host, const std::string& progId,
                                      CLSID* clsid, std::string& errorText) {
    const std::u16string wideProgId = mv::ToUtf16(progId);
    if (IsLocalHost(host)) {
        HRESULT hr = CLSIDFromProgID(wideProgId.c_str(), clsid);
        if (FAILED(hr)) {
            errorText = "Failed to get CLSID on " + host + ": (" + Hex(hr) + ")";
            return false;
        }
        return true;
    }
    std::u16string node = mv::ToUtf16(host);
    COSERVERINFO info{0, node.data(), nullptr, 0};
    MULTI_QI qi{&IID_IOPCServerList, nullptr, S_OK};
    HRESULT hr = CoCreateInstanceEx(CLSID_OpcServerList, nullptr, kBrowserContext, &info, 1, &qi);
    mv::ComPtr<IOPCServerList> browser;
    browser.Attach(static_cast<IOPCServerList*>(qi.pItf));
    if (FAILED(hr) || FAILED(qi.hr) || !browser) {
        // Without the node's browser the ProgID may still be known here.
        if (SUCCEEDED(CLSIDFromProgID(wideProgId.c_str(), clsid))) return true;
        errorText = "Create OPC Server Browser instance failed: " + FormatHResultText(hr);
        return false;
    }
    if (FAILED(browser->CLSIDFromProgID(wideProgId.c_str(), clsid))) {
        errorText = "Failed to get CLSID";
        return false;
    }
    return true;
}

HRESULT COPCDAServer::Connect(REFCLSID clsid, const std::string& host, std::string& errorText) {
    std::u16string node = mv::ToUtf16(host);
    COSERVERINFO info{0, node.data(), nullptr, 0};
    MULTI_QI qi{&IID_IUnknown, nullptr, S_OK};
    HRESULT hr = CoCreateInstanceEx(clsid, nullptr, kServerContext,
                                    IsLocalHost(host) ? nullptr : &info, 1, &qi);
    mv::ComPtr<IUnknown> server;
    server.Attach(qi.pItf);
    if (FAILED(hr) || FAILED(qi.hr) || !server) {
        HRESULT result = FAILED(hr) ? hr : FAILED(qi.hr) ? qi.hr : E_NOINTERFACE;
        errorText =
            "Connect to OPC Server on node (" + host + ") failed: " + FormatHResultText(result);
        return result;
    }
    // The table keeps its own reference; the creation's goes.
    hr = SetOPCServerInterface(server.get(), &m_ServerCookie);
    if (FAILED(hr)) {
        MvLogErrorHr("COPCDAServer::Connect - SetOPCInterface failed!", hr);
        errorText = RegistrationFailedText(hr);
    }
    server.Reset();
    // Give a server that has just started time to settle.
    Sleep(kPauseAfterCreation);
    return hr;
}

HRESULT COPCDAServer::AddGroup(std::string& errorText) {
    mv::ComPtr<IUnknown> unknown = GetOpcServerInterface(m_ServerCookie);
    if (!unknown) {
        errorText = "Server is not connected!";
        return E_FAIL;
    }
    mv::ComPtr<IOPCServer> server;
    HRESULT hr = unknown.As(&server);
    if (FAILED(hr)) {
        errorText = "Server.Attach failed!: (" + Hex(hr) + ")";
        return hr;
    }
    const std::u16string name = mv::ToUtf16(kOpcGroupName);
    FLOAT deadBand = 0.0f;
    OPCHANDLE serverGroup = 0;
    DWORD revisedRate = 0;
    mv::ComPtr<IUnknown> group;
    hr = server->AddGroup(name.c_str(), m_UseCache, kGroupUpdateRate, kGroupClientHandle, nullptr,
                          &deadBand, 0, &serverGroup, &revisedRate, IID_IUnknown, group.Put());
    if (FAILED(hr)) {
        errorText = "Failed to add group for DSN " + m_DataSourceName + ": (" + Hex(hr) + ")";
        return hr;
    }
    hr = SetOPCServerInterface(group.get(), &m_GroupCookie);
    if (FAILED(hr)) {
        MvLogErrorHr("COPCDAServer::AddGroup - SetOPCInterface failed!", hr);
        errorText = RegistrationFailedText(hr);
    }
    return hr;
}

std::string COPCDAServer::ItemErrorText(HRESULT error) {
    mv::ComPtr<IUnknown> unknown = GetOpcServerInterface(m_ServerCookie);
    mv::ComPtr<IOPCServer> server;
    LPWSTR text = nullptr;
    if (unknown && SUCCEEDED(unknown.As(&server)))
        server->GetErrorString(error, LOCALE_SYSTEM_DEFAULT, &text);
    std::unique_ptr<OLECHAR, void (*)(LPVOID)> owned(text, CoTaskMemFree);
    return text ? mv::ToUtf8(text) : FormatHResultText(error);
}

bool COPCDAServer::AddItem(const std::string& itemId, OpcItem*& item, std::string& errorText) {
    if (auto it = m_Items.find(itemId); it != m_Items.end()) {
        item = &it->second;
        return true;
    }
    mv::ComPtr<IUnknown> group = GetOpcServerInterface(m_GroupCookie);
    if (!group) {
        errorText = "Group does not exist.";
        return false;
    }
    mv::ComPtr<IOPCItemMgt> items;
    HRESULT hr = group.As(&items);
    if (FAILED(hr)) {
        errorText = "OPCItemMgt::Attach group failed!: (" + Hex(hr) + ")";
        return false;
    }
    std::u16string accessPath;
    std::u16string id = mv::ToUtf16(itemId);
    OPCITEMDEF def{accessPath.data(), id.data(), TRUE, 0, 0, nullptr, VT_EMPTY, 0};
    TaskMemArray<OPCITEMRESULT> results(1);
    TaskMemArray<HRESULT> errors(1);
    hr = items->AddItems(1, &def, results.Put(), errors.Put());
    if (errors && FAILED(errors[0])) {
        errorText = "Failed to add OPC item " + itemId + ": " + ItemErrorText(errors[0]);
        return false;
    }
    // A success without its result array is a failure too: nothing to read.
    if (FAILED(hr) || !results) {
        errorText =
            "Failed to add item to OPC server: " + FormatHResultText(FAILED(hr) ? hr : E_FAIL);
        return false;
    }
    OpcItem& added = m_Items[itemId];
    added = OpcItem{itemId, results[0].hServer, results[0].vtCanonicalDataType};
    item = &added;
    return true;
}

HRESULT COPCDAServer::PrepareItems(const std::vector<std::string>& itemIds,
                                   mv::ComPtr<IOPCSyncIO>& io, std::vector<OPCHANDLE>& handles,
                                   std::string& errorText) {
    mv::ComPtr<IUnknown> group = GetOpcServerInterface(m_GroupCookie);
    if (!group) {
        errorText = "Connection has not been established!";
        return E_FAIL;
    }
    if (FAILED(group.As(&io))) {
        errorText = "Attach to group failed.";
        return E_FAIL;
    }
    handles.assign(itemIds.size(), 0);
    for (size_t i = 0; i < itemIds.size(); ++i) {
        OpcItem* item = nullptr;
        if (!AddItem(itemIds[i], item, errorText)) return E_FAIL;
        handles[i] = item->ServerHandle;
    }
    return S_OK;
}

HRESULT COPCDAServer::ReadOpcItems(const std::vector<std::string>& itemIds,
                                   std::vector<mv::Variant>& values, std::vector<WORD>& qualities,
                                   std::vector<FILETIME>& timeStamps, std::string& errorText) {
    mv::CriticalSectionLock lock(m_Lock);
    errorText.clear();
    values.clear();
    qualities.clear();
    timeStamps.clear();
    try {
        return ReadLocked(itemIds, values, qualities, timeStamps, errorText);
    } catch (...) {
        // Nothing half-read goes out.
        values.clear();
        qualities.clear();
        timeStamps.clear();
        errorText = "Unexpected error reading from OPC Server";
        return E_FAIL;
    }
}

HRESULT COPCDAServer::ReadLocked(const std::vector<std::string>& itemIds,
                                 std::vector<mv::Variant>& values, std::vector<WORD>& qualities,
                                 std::vector<FILETIME>& timeStamps, std::string& errorText) {
    mv::ComPtr<IOPCSyncIO> io;
    std::vector<OPCHANDLE> handles;
    HRESULT hr = PrepareItems(itemIds, io, handles, errorText);
    if (FAILED(hr)) return hr;
    const auto count = static_cast<DWORD>(itemIds.size());
    TaskMemArray<OPCITEMSTATE> states(count);
    TaskMemArray<HRESULT> errors(count);
    hr = io->Read(m_UseCache ? OPC_DS_CACHE : OPC_DS_DEVICE, count, handles.data(), states.Put(),
                  errors.Put());
    // Failed items may read as bad values only in a read that came back
    // with its values; a failure of the whole call stays one.
    const bool badQualityForFailedItems = m_BadStatusOnItemError && hr == S_FALSE && states;
    if (hr != S_OK && errors) {
        for (DWORD i = 0; i < count; ++i) {
            if (!FAILED(errors[i])) continue;
            if (badQualityForFailedItems) {
                states[i].wQuality = 0;
                continue;
            }
            if (m_BadStatusOnItemError) break;
            errorText = "Failed to read OPC item " + itemIds[i] + ": " + ItemErrorText(errors[i]);
            hr = E_FAIL;
            break;
        }
        if (badQualityForFailedItems) hr = S_OK;
    }
    if (SUCCEEDED(hr) && !states) hr = E_FAIL;
    if (FAILED(hr)) {
        if (errorText.empty())
            errorText = "Failed to read from OPC server: " + FormatHResultText(hr);
        return hr;
    }
    values.reserve(count);
    qualities.reserve(count);
    timeStamps.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        values.emplace_back(states[i].vDataValue);
        qualities.push_back(states[i].wQuality);
        timeStamps.push_back(states[i].ftTimeStamp);
    }
    return S_OK;
}

HRESULT COPCDAServer::WriteOpcItems(const std::vector<std::string>& itemIds, VARIANT* values,
                                    std::string& errorText) {
    mv::CriticalSectionLock lock(m_Lock);
    errorText.clear();
    try {
        return WriteLocked(itemIds, values, errorText);
    } catch (...) {
        errorText = "Unexpected error writing from OPC Server";
        return E_FAIL;
    }
}

HRESULT COPCDAServer::WriteLocked(const std::vector<std::string>& itemIds, VARIANT* values,
                                  std::string& errorText) {
    mv::ComPtr<IOPCSyncIO> io;
    std::vector<OPCHANDLE> handles;
    HRESULT hr = PrepareItems(itemIds, io, handles, errorText);
    if (FAILED(hr)) return hr;
    const auto count = static_cast<DWORD>(itemIds.size());
    TaskMemArray<HRESULT> errors(count);
    hr = values || !count ? io->Write(count, handles.data(), values, errors.Put()) : E_POINTER;
    if (hr == S_OK) return S_OK;
    if (errors) {
        for (DWORD i = 0; i < count; ++i) {
            if (!FAILED(errors[i])) continue;
            errorText = "Failed to write OPC item " + itemIds[i] + ": " + ItemErrorText(errors[i]);
            hr = E_FAIL;
            break;
        }
    }
    if (errorText.empty()) errorText = "Failed to write to OPC server: " + FormatHResultText(hr);
    return hr;
}

HRESULT COPCDAServer::SetOPCServerInterface(IUnknown* unknown, DWORD* cookie) {
    mv::CriticalSectionLock lock(g_csOpcGIT);
    HRESULT hr = E_FAIL;
    try {
        if (g_DiagnosticLog.IsOn(LogSecurity))
            g_DiagnosticLog.WriteLine(u"CLSID_StdGlobalInterfaceTable - Create");
        if (!g_pGIT) {
            hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&g_pGIT));
            if (SUCCEEDED(hr) && !g_pGIT) hr = E_POINTER;
            if (FAILED(hr)) {
                MvLogErrorHr(
                    " COPCDAServer::SetOPCServerInterface - CoCreateInstance "
                    "CLSID_StdGlobalInterfaceTable - Create",
                    hr);
                return hr;
            }
        }
        hr = g_pGIT->RegisterInterfaceInGlobal(unknown, IID_IUnknown, cookie);
        if (FAILED(hr))
            MvLogErrorHr(
                "COPCDAServer::SetOPCServerInterface - failed to register interface "
                "g_pGIT->RegisterInterfaceInGlobal",
                hr);
    } catch (...) {
        hr = E_UNEXPECTED;
        MvLogErrorHr("COPCDAServer::SetOPCServerInterface", hr);
    }
    return hr;
}

mv::ComPtr<IUnknown> COPCDAServer::GetOpcServerInterface(DWORD cookie) {
    mv::CriticalSectionLock lock(g_csOpcGIT);
    mv::ComPtr<IUnknown> unknown;
    try {
        if (!g_pGIT) {
            MvLogErrorHr("COPCDAServer::GetOpcServerInterface - global interface pointer is NULL!",
                         E_POINTER);
            return unknown;
        }
        if (g_DiagnosticLog.IsOn(LogSecurity)) g_DiagnosticLog.WriteLine(u"GetInterfaceFromGlobal");
        HRESULT hr = g_pGIT->GetInterfaceFromGlobal(cookie, IID_IUnknown, unknown.PutVoid());
        if (FAILED(hr)) {
            unknown.Reset();
            MvLogErrorHr("COPCDAServer::GetOpcServerInterface - GetInterfaceFromGlobal failed!",
                         hr);
        }
    } catch (...) {
        unknown.Reset();
        MvLogErrorHr("COPCDAServer::GetOpcServerInterface", E_UNEXPECTED);
    }
    return unknown;
}

void COPCDAServer::RemoveOpcInterface(DWORD* cookie) {
    mv::CriticalSectionLock lock(g_csOpcGIT);
    try {
        if (g_pGIT) {
            HRESULT hr = g_pGIT->RevokeInterfaceFromGlobal(*cookie);
            if (FAILED(hr))
                MvLogErrorHr("COPCDAServer::RemoveOpcInterface - RevokeInterfaceFromGlobal failed!",
                             hr);
        }
    } catch (...) {
        MvLogErrorHr("COPCDAServer::RemoveOpcInterface", E_UNEXPECTED);
    }
    *cookie = 0;
}
