#include "frame/dll_exports.h"

#include <array>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>

#include "frame/app.h"
#include "frame/app_globals.h"
#include "frame/registration.h"
#include "interfaces/class_table.h"

namespace {

// A class object kept by the module. The module's own reference does not
// count as a live object, so that a cached class object alone never keeps
// the module loaded; every further reference does.
class CachedClassFactory final : public IClassFactory {
public:
    explicit CachedClassFactory(MvCreateInstanceFn create) noexcept : create_(create) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override {
        LONG n = ++refs_;
        if (n == 2) mv::ModuleLock();
        return static_cast<ULONG>(n);
    }
    ULONG Release() override {
        LONG n = --refs_;
        if (n == 1) mv::ModuleUnlock();
        if (n == 0) delete this;
        return static_cast<ULONG>(n);
    }
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        return create_(outer, riid, ppv);
    }
    HRESULT LockServer(BOOL lock) override {
        if (lock)
            mv::ModuleLock();
        else
            mv::ModuleUnlock();
        return S_OK;
    }

private:
    ~CachedClassFactory() = default;
    std::atomic<LONG> refs_{1};  // the module's reference
    MvCreateInstanceFn create_;
};

struct ClassEntry {
    MvCreateInstanceFn create = nullptr;
    CachedClassFactory* cached = nullptr;
};

struct ComModule {
    std::mutex lock;
    std::array<ClassEntry, kMvClassCount> classes;
    HINSTANCE instance = nullptr;
};

ComModule& Module() {
    static ComModule module;
    return module;
}

// The position of a class in the table, or -1.
int ClassIndex(REFCLSID clsid) {
    const MvClassInfo* info = MvFindClass(clsid);
    return info ? static_cast<int>(info - MvClassTable().data()) : -1;
}

}  // namespace

HRESULT MvRegisterClassFactory(REFCLSID clsid, MvCreateInstanceFn create) {
    int index = ClassIndex(clsid);
    if (index < 0) return E_INVALIDARG;
    ComModule& m = Module();
    std::lock_guard guard(m.lock);
    m.classes[static_cast<size_t>(index)].create = create;
    return S_OK;
}

void MvComModuleInit() {
    MvAddModuleClassFactories();
}

void MvComModuleTerm() {
    ComModule& m = Module();
    std::array<CachedClassFactory*, kMvClassCount> release{};
    {
        std::lock_guard guard(m.lock);
        for (size_t i = 0; i < kMvClassCount; ++i)
            release[i] = std::exchange(m.classes[i].cached, nullptr);
    }
    for (CachedClassFactory* factory : release)
        if (factory) factory->Release();
}

void MvSetModuleInstance(HINSTANCE instance) {
    ComModule& m = Module();
    std::lock_guard guard(m.lock);
    m.instance = instance;
}

HINSTANCE MvModuleInstance() {
    ComModule& m = Module();
    std::lock_guard guard(m.lock);
    return m.instance;
}

std::string MvModuleFilePath() {
    if (HINSTANCE instance = MvModuleInstance()) {
        char path[4096];
        DWORD n = GetModuleFileNameA(instance, path, sizeof path);
        if (n > 0 && n < sizeof path) return std::string(path, n);
    }
    return mv::ModuleFileOfAddress(reinterpret_cast<const void*>(&MvModuleFilePath));
}

extern "C" {

BOOL DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    // Each runs once however often the loader calls: a second attach or a
    // detach without an attach does nothing.
    static bool started = false;
    static bool releaseRegistered = false;
    if (reason == DLL_PROCESS_ATTACH && !started) {
        started = true;
        MvSetModuleInstance(instance);
        // Registered after every static object of the module is built, so
        // it runs after shut-down and before any of them is destroyed: the
        // objects released may still log.
        if (!releaseRegistered) releaseRegistered = std::atexit(MvReleaseProcessObjects) == 0;
        return theApp.InitInstance();
    }
    if (reason == DLL_PROCESS_DETACH && started) {
        started = false;
        theApp.ExitInstance();
    }
    return TRUE;
}

HRESULT DllCanUnloadNow() {
    return mv::ModuleCanUnloadNow();
}

HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    int index = ClassIndex(rclsid);
    if (index < 0) return CLASS_E_CLASSNOTAVAILABLE;
    ComModule& m = Module();
    IClassFactory* factory = nullptr;
    {
        std::lock_guard guard(m.lock);
        ClassEntry& entry = m.classes[static_cast<size_t>(index)];
        if (!entry.cached) {
            if (!entry.create) return CLASS_E_CLASSNOTAVAILABLE;
            entry.cached = new (std::nothrow) CachedClassFactory(entry.create);
            if (!entry.cached) return E_OUTOFMEMORY;
        }
        factory = entry.cached;
        factory->AddRef();
    }
    HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

// Registration builds texts and paths; running out of memory is a failure
// code, never an exception out of the entry point.
HRESULT DllRegisterServer() {
    return mv::CallGuarded([] { return MvRegisterClasses(MvModuleFilePath()); });
}

HRESULT DllUnregisterServer() {
    return mv::CallGuarded([] { return MvUnregisterClasses(); });
}

}  // extern "C"
