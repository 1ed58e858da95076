// Class activation: per-thread initialisation, the process-local class table,
// in-process servers found through the registry store, ProgIDs and GUID text.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "apartment.h"
#include "com.h"
#include "script.h"
#include "sys.h"

namespace {

constexpr HRESULT kServerUnavailable = HRESULT_FROM_WIN32(1722);  // RPC_S_SERVER_UNAVAILABLE

// How long CoFreeUnusedLibraries keeps a library that can unload: ten
// minutes, as for free-threaded servers, so that a thread still on its way
// out of the library's last Release has long left it when it goes.
constexpr DWORD kDefaultUnloadDelayMs = 10 * 60 * 1000;

using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, LPVOID*);
using CanUnloadNowFn = HRESULT (*)();

struct ClassEntry {
    DWORD cookie;
    CLSID clsid;
    IUnknown* obj;
};

struct Server {
    HMODULE module = nullptr;
    GetClassObjectFn getClassObject = nullptr;
    CanUnloadNowFn canUnloadNow = nullptr;
    // Under cacheMutex: the class-object calls inside the library now, and
    // how many have begun since it was loaded.
    ULONG callsInFlight = 0;
    uint64_t callsBegun = 0;
    // Under serversMutex: whether the library has answered that it can
    // unload, with no call in flight, at every CoFreeUnusedLibrariesEx since
    // idleSince (a tick count), with no call begun since (idleCalls).
    bool idle = false;
    ULONGLONG idleSince = 0;
    uint64_t idleCalls = 0;
};

struct GuidHash {
    size_t operator()(const GUID& g) const noexcept {
        uint64_t tail = 0;
        for (BYTE b : g.Data4) tail = tail << 8 | b;
        return std::hash<uint64_t>()((uint64_t{g.Data1} << 32 | uint64_t{g.Data2} << 16 | g.Data3) ^
                                     tail);
    }
};

// ProgIDs compare ignoring the case of ASCII letters.
char16_t FoldChar(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}
struct FoldedHash {
    using is_transparent = void;
    size_t operator()(std::u16string_view s) const noexcept {
        size_t h = 14695981039346656037ull;
        for (char16_t c : s) h = (h ^ FoldChar(c)) * 1099511628211ull;
        return h;
    }
};
struct FoldedEqual {
    using is_transparent = void;
    bool operator()(std::u16string_view a, std::u16string_view b) const noexcept {
        return a.size() == b.size() &&
               std::equal(a.begin(), a.end(), b.begin(),
                          [](char16_t x, char16_t y) { return FoldChar(x) == FoldChar(y); });
    }
};

struct State {
    std::mutex m;  // class table and remote hosts
    std::vector<ClassEntry> classes;
    // How many of `classes` serve CLSID_VBScript (changed under m), so that
    // making the built-in engine takes no lock while there is none.
    std::atomic<size_t> scriptClasses{0};
    DWORD nextCookie = 0;
    std::map<std::u16string, std::function<HRESULT(REFCLSID, IUnknown**)>> hosts;
    // Servers loaded by activation, by the InprocServer32 text. Recursive: a
    // server's DllMain may activate other classes.
    std::recursive_mutex serversMutex;
    std::map<std::string, Server> servers;
    // What activation read from the registry store, kept while the store's
    // version stays the same: the loaded server of each class (an entry of
    // `servers`, dropped before the server is) and the class of each ProgID
    // (folded). Also guards the servers' call counts. Taken after
    // serversMutex when both are held.
    std::mutex cacheMutex;
    uint64_t cacheVersion = 0;
    std::unordered_map<CLSID, Server*, GuidHash> serverOf;
    std::unordered_map<std::u16string, CLSID, FoldedHash, FoldedEqual> classOfProgId;
};

State& S() {
    static State* s = new State;  // never destroyed: exit handlers may activate
    return *s;
}

struct ThreadInit {
    DWORD mode = 0;
    ULONG count = 0;
};
thread_local ThreadInit t_init;

void Diagnose(const std::string& line) {
    std::fprintf(stderr, "activation: %s\n", line.c_str());
}

std::u16string Fold(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out) c = FoldChar(c);
    return out;
}

// The default value of HKCR\<path> as text; false when the key or a string
// value is missing.
bool ReadClassesText(const std::string& path, std::string* out) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0, size = 0;
    bool ok = false;
    if (RegQueryValueExA(key, nullptr, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
        std::string text(size, '\0');
        if (RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(text.data()),
                             &size) == ERROR_SUCCESS) {
            text.resize(std::min<size_t>(size, text.size()));
            text.resize(std::strlen(text.c_str()));
            *out = text;
            ok = true;
        }
    }
    RegCloseKey(key);
    return ok;
}

IUnknown* FindLocalClass(REFCLSID clsid) {
    State& s = S();
    std::lock_guard lock(s.m);
    for (auto it = s.classes.rbegin(); it != s.classes.rend(); ++it) {
        if (it->clsid == clsid) {
            it->obj->AddRef();
            return it->obj;
        }
    }
    return nullptr;
}

// Forgets what was cached from the registry store when its version moved on
// (the version is read before cacheMutex is taken: the store may wait for a
// batch whose thread activates). True when the cache holds that version.
bool CacheHolds(State& s, uint64_t version) {
    if (version > s.cacheVersion) {
        s.serverOf.clear();
        s.classOfProgId.clear();
        s.cacheVersion = version;
    }
    return version == s.cacheVersion;
}

// A class-object call's hold on the library it calls: while one is held,
// CoFreeUnusedLibrariesEx leaves the library loaded.
class ServerCall {
public:
    ServerCall() = default;
    ServerCall(const ServerCall&) = delete;
    ServerCall& operator=(const ServerCall&) = delete;
    ~ServerCall() {
        if (!server_) return;
        std::lock_guard cacheLock(S().cacheMutex);
        --server_->callsInFlight;
    }
    // Takes the hold; the caller holds cacheMutex.
    void Begin(Server* server) {
        server_ = server;
        ++server->callsInFlight;
        ++server->callsBegun;
    }
    GetClassObjectFn getClassObject() const { return server_->getClassObject; }

private:
    Server* server_ = nullptr;
};

// The in-process server registered for the class, loaded once and held by
// `call`.
HRESULT ServerFor(REFCLSID clsid, ServerCall* call) {
    State& s = S();
    const uint64_t version = mv::RegistryVersion();
    {
        std::lock_guard cacheLock(s.cacheMutex);
        auto cached = CacheHolds(s, version) ? s.serverOf.find(clsid) : s.serverOf.end();
        if (cached != s.serverOf.end()) {
            call->Begin(cached->second);
            return S_OK;
        }
    }
    std::string clsidText = mv::GuidToString(clsid);
    std::string file;
    if (!ReadClassesText("CLSID\\" + clsidText + "\\InprocServer32", &file) || file.empty())
        return REGDB_E_CLASSNOTREG;
    std::lock_guard lock(s.serversMutex);
    auto it = s.servers.find(file);
    if (it == s.servers.end()) {
        HMODULE module = LoadLibraryA(file.c_str());
        if (!module) {
            Diagnose("cannot load " + file + " for class " + clsidText + " (error " +
                     std::to_string(GetLastError()) + "): " + mv::LoaderErrorText());
            return CO_E_DLLNOTFOUND;
        }
        Server server;
        server.module = module;
        server.getClassObject =
            reinterpret_cast<GetClassObjectFn>(GetProcAddress(module, "DllGetClassObject"));
        server.canUnloadNow =
            reinterpret_cast<CanUnloadNowFn>(GetProcAddress(module, "DllCanUnloadNow"));
        if (!server.getClassObject) {
            Diagnose(file + " for class " + clsidText + " does not export DllGetClassObject");
            FreeLibrary(module);
            return CO_E_ERRORINDLL;
        }
        it = s.servers.emplace(file, server).first;
    }
    // Held and cached while serversMutex is, so that CoFreeUnusedLibrariesEx,
    // which drops the entries of the servers it frees, cannot come in between.
    std::lock_guard cacheLock(s.cacheMutex);
    call->Begin(&it->second);
    if (s.cacheVersion == version) s.serverOf[clsid] = &it->second;
    return S_OK;
}

// Whether CoFreeUnusedLibrariesEx may free the server now: it can unload,
// no class-object call is in flight, and (unless `delay` is 0) it has been
// so at every call for `delay` ms. When it may, its cache entries are gone,
// so that a new call finds it only through serversMutex, which the caller
// holds.
bool ReadyToFree(State& s, Server& server, DWORD delay) {
    uint64_t begun = 0;
    {
        std::lock_guard cacheLock(s.cacheMutex);
        if (server.callsInFlight) {
            server.idle = false;
            return false;
        }
        begun = server.callsBegun;
    }
    if (!server.canUnloadNow || server.canUnloadNow() != S_OK) {
        server.idle = false;
        return false;
    }
    const ULONGLONG now = GetTickCount64();
    std::lock_guard cacheLock(s.cacheMutex);
    if (server.callsInFlight || server.callsBegun != begun) {
        server.idle = false;  // a call began while the library answered
        return false;
    }
    // A call begun since the mark may have made objects whose last Release
    // is still on its way out: the wait starts again (so it does when the
    // clock went back).
    if (!server.idle || server.idleCalls != begun || now < server.idleSince) {
        server.idle = true;
        server.idleSince = now;
        server.idleCalls = begun;
    }
    if (now - server.idleSince < delay) return false;
    std::erase_if(s.serverOf, [&](const auto& entry) { return entry.second == &server; });
    return true;
}

HRESULT GetClassObject(REFCLSID clsid, DWORD ctx, REFIID riid, void** ppv, ServerCall* call) {
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    if (IUnknown* local = FindLocalClass(clsid)) {
        HRESULT hr = local->QueryInterface(riid, ppv);
        local->Release();
        return hr;
    }
    if (!(ctx & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER))) return REGDB_E_CLASSNOTREG;
    HRESULT hr = ServerFor(clsid, call);
    if (FAILED(hr)) return hr;
    return call->getClassObject()(clsid, riid, ppv);
}

HRESULT CreateLocal(REFCLSID clsid, IUnknown* outer, DWORD ctx, REFIID riid, void** ppv) {
    if (clsid == CLSID_StdGlobalInterfaceTable) {
        if (outer) return CLASS_E_NOAGGREGATION;
        return mv::detail::GlobalInterfaceTable()->QueryInterface(riid, ppv);
    }
    if (clsid == CLSID_VBScript) {
        // Built in, unless the process serves its own class under the CLSID.
        if (mv::script::BuiltInEngineServes()) return mv::script::CreateEngine(outer, riid, ppv);
        IUnknown* local = FindLocalClass(clsid);
        if (!local) return mv::script::CreateEngine(outer, riid, ppv);
        local->Release();
    }
    // Held until the class object's Release has returned.
    ServerCall call;
    IClassFactory* factory = nullptr;
    HRESULT hr =
        GetClassObject(clsid, ctx, IID_IClassFactory, reinterpret_cast<void**>(&factory), &call);
    if (FAILED(hr)) return hr;
    hr = factory->CreateInstance(outer, riid, ppv);
    factory->Release();
    return hr;
}

HRESULT ClsidFromProgId(std::u16string_view progId, CLSID* out) {
    State& s = S();
    const uint64_t version = mv::RegistryVersion();
    {
        std::lock_guard cacheLock(s.cacheMutex);
        auto cached = CacheHolds(s, version) ? s.classOfProgId.find(progId) : s.classOfProgId.end();
        if (cached != s.classOfProgId.end()) {
            *out = cached->second;
            return S_OK;
        }
    }
    std::string name = mv::ToUtf8(progId);
    // CurVer names the current version's ProgID; a few hops at most, so a
    // cycle in the store cannot loop for ever.
    for (int hop = 0; hop < 8 && !name.empty(); ++hop) {
        std::string text;
        if (ReadClassesText(name + "\\CLSID", &text)) {
            if (!mv::GuidFromString(text, out)) return CO_E_CLASSSTRING;
            std::lock_guard cacheLock(s.cacheMutex);
            if (s.cacheVersion == version) s.classOfProgId[std::u16string(progId)] = *out;
            return S_OK;
        }
        if (!ReadClassesText(name + "\\CurVer", &text)) break;
        name = text;
    }
    return CO_E_CLASSSTRING;
}

LPOLESTR TaskMemString(std::u16string_view text) {
    auto* out = static_cast<LPOLESTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(OLECHAR)));
    if (!out) return nullptr;
    std::copy(text.begin(), text.end(), out);
    out[text.size()] = 0;
    return out;
}

}  // namespace

bool mv::script::BuiltInEngineServes() {
    return S().scriptClasses.load(std::memory_order_acquire) == 0;
}

extern "C" {

HRESULT CoInitialize(LPVOID pvReserved) {
    return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    if (pvReserved) return E_INVALIDARG;
    DWORD mode = dwCoInit & COINIT_APARTMENTTHREADED;
    if (t_init.count == 0) {
        t_init.mode = mode;
        t_init.count = 1;
        return S_OK;
    }
    if (t_init.mode != mode) return RPC_E_CHANGED_MODE;
    ++t_init.count;
    return S_FALSE;
}

void CoUninitialize() {
    if (t_init.count > 0) --t_init.count;
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID, REFIID riid, LPVOID* ppv) {
    return mv::CallGuarded([&] {
        ServerCall call;
        return GetClassObject(rclsid, dwClsContext, riid, ppv, &call);
    });
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                         LPVOID* ppv) {
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    return mv::CallGuarded([&] { return CreateLocal(rclsid, pUnkOuter, dwClsContext, riid, ppv); });
}

HRESULT CoCreateInstanceEx(REFCLSID rclsid, IUnknown* punkOuter, DWORD dwClsCtx,
                           COSERVERINFO* pServerInfo, DWORD dwCount, MULTI_QI* pResults) {
    if (!dwCount || !pResults) return E_INVALIDARG;
    for (DWORD i = 0; i < dwCount; ++i) {
        if (!pResults[i].pIID) return E_INVALIDARG;
        pResults[i].pItf = nullptr;
        pResults[i].hr = E_NOINTERFACE;
    }
    IUnknown* unk = nullptr;
    HRESULT hr = mv::CallGuarded([&]() -> HRESULT {
        if (pServerInfo && pServerInfo->pwszName && *pServerInfo->pwszName) {
            std::function<HRESULT(REFCLSID, IUnknown**)> create;
            {
                State& s = S();
                std::lock_guard lock(s.m);
                auto it = s.hosts.find(Fold(pServerInfo->pwszName));
                if (it != s.hosts.end()) create = it->second;
            }
            const HRESULT made = create ? create(rclsid, &unk) : kServerUnavailable;
            return SUCCEEDED(made) && !unk ? E_UNEXPECTED : made;
        }
        return CreateLocal(rclsid, punkOuter, dwClsCtx, IID_IUnknown,
                           reinterpret_cast<void**>(&unk));
    });
    if (FAILED(hr)) {
        for (DWORD i = 0; i < dwCount; ++i) pResults[i].hr = hr;
        return hr;
    }
    DWORD got = 0;
    for (DWORD i = 0; i < dwCount; ++i) {
        pResults[i].hr =
            unk->QueryInterface(*pResults[i].pIID, reinterpret_cast<void**>(&pResults[i].pItf));
        if (SUCCEEDED(pResults[i].hr)) ++got;
    }
    unk->Release();
    if (got == dwCount) return S_OK;
    return got ? CO_S_NOTALLINTERFACES : E_NOINTERFACE;
}

HRESULT CoRegisterClassObject(REFCLSID rclsid, IUnknown* pUnk, DWORD, DWORD, DWORD* lpdwRegister) {
    if (!pUnk || !lpdwRegister) return E_INVALIDARG;
    State& s = S();
    pUnk->AddRef();
    std::unique_lock lock(s.m);
    do {
        ++s.nextCookie;
    } while (s.nextCookie == 0 || std::any_of(s.classes.begin(), s.classes.end(),
                                              [&](auto& e) { return e.cookie == s.nextCookie; }));
    try {
        s.classes.push_back(ClassEntry{s.nextCookie, rclsid, pUnk});
    } catch (const std::bad_alloc&) {
        lock.unlock();
        pUnk->Release();
        return E_OUTOFMEMORY;
    }
    if (rclsid == CLSID_VBScript) s.scriptClasses.fetch_add(1, std::memory_order_release);
    *lpdwRegister = s.nextCookie;
    return S_OK;
}

HRESULT CoRevokeClassObject(DWORD dwRegister) {
    State& s = S();
    IUnknown* obj = nullptr;
    {
        std::lock_guard lock(s.m);
        for (auto it = s.classes.begin(); it != s.classes.end(); ++it) {
            if (it->cookie == dwRegister) {
                obj = it->obj;
                if (it->clsid == CLSID_VBScript)
                    s.scriptClasses.fetch_sub(1, std::memory_order_release);
                s.classes.erase(it);
                break;
            }
        }
    }
    if (!obj) return CO_E_OBJNOTREG;
    obj->Release();
    return S_OK;
}

void CoFreeUnusedLibrariesEx(DWORD dwUnloadDelay, DWORD) {
    if (dwUnloadDelay == INFINITE) dwUnloadDelay = kDefaultUnloadDelayMs;
    State& s = S();
    std::lock_guard lock(s.serversMutex);
    for (auto it = s.servers.begin(); it != s.servers.end();) {
        if (ReadyToFree(s, it->second, dwUnloadDelay)) {
            FreeLibrary(it->second.module);
            it = s.servers.erase(it);
        } else {
            ++it;
        }
    }
}

void CoFreeUnusedLibraries() {
    CoFreeUnusedLibrariesEx(kDefaultUnloadDelayMs, 0);
}

HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
    if (!lpszProgID || !lpclsid) return E_INVALIDARG;
    *lpclsid = CLSID_NULL;
    return mv::CallGuarded([&] { return ClsidFromProgId(lpszProgID, lpclsid); });
}

HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID) {
    if (!lplpszProgID) return E_INVALIDARG;
    *lplpszProgID = nullptr;
    return mv::CallGuarded([&]() -> HRESULT {
        std::string text;
        if (!ReadClassesText("CLSID\\" + mv::GuidToString(clsid) + "\\ProgID", &text) ||
            text.empty())
            return REGDB_E_CLASSNOTREG;
        *lplpszProgID = TaskMemString(mv::ToUtf16(text));
        return *lplpszProgID ? S_OK : E_OUTOFMEMORY;
    });
}

HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) {
    if (!lplpsz) return E_INVALIDARG;
    *lplpsz = nullptr;
    mv::CallGuarded([&] { *lplpsz = TaskMemString(mv::GuidToOleString(rclsid)); });
    return *lplpsz ? S_OK : E_OUTOFMEMORY;
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
    if (!lpsz || !pclsid) return E_INVALIDARG;
    *pclsid = CLSID_NULL;
    std::u16string_view text(lpsz);
    if (!text.empty() && text[0] == u'{')
        return mv::GuidFromOleString(text, pclsid) ? S_OK : CO_E_CLASSSTRING;
    return mv::CallGuarded([&] { return ClsidFromProgId(text, pclsid); });
}

HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid) {
    if (!lpsz || !lpiid) return E_INVALIDARG;
    *lpiid = IID_NULL;
    return mv::GuidFromOleString(lpsz, lpiid) ? S_OK : E_INVALIDARG;
}

INT StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, INT cchMax) {
    INT written = 0;
    mv::CallGuarded([&] {
        std::u16string text = mv::GuidToOleString(rguid);
        if (!lpsz || cchMax < static_cast<INT>(text.size() + 1)) return;
        std::copy(text.begin(), text.end(), lpsz);
        lpsz[text.size()] = 0;
        written = static_cast<INT>(text.size() + 1);
    });
    return written;
}

}  // extern "C"

namespace mv {

void RegisterRemoteHostForTesting(std::u16string_view host,
                                  std::function<HRESULT(REFCLSID, IUnknown**)> create) {
    State& s = S();
    std::lock_guard lock(s.m);
    if (create) {
        s.hosts[Fold(host)] = std::move(create);
    } else {
        s.hosts.erase(Fold(host));
    }
}

}  // namespace mv
