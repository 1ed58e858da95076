// A small in-process server for activation and loader tests. Each DllMain
// notification is appended as a line ("attach <name>" / "detach <name>") to
// the file named by MV_TESTLIB_LOG, so that tests can count them even after
// the library is gone.
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "com.h"
#include "sys.h"

#if defined(MVTEST_SERVER)
#define MVTEST_NAME "server"
#elif defined(MVTEST_REFUSE)
#define MVTEST_NAME "refuse"
#else
#define MVTEST_NAME "plain"
#endif

namespace {

[[maybe_unused]] void Log(const char* what) {
    const char* path = std::getenv("MV_TESTLIB_LOG");
    if (!path || !*path) return;
    if (FILE* f = std::fopen(path, "a")) {
        std::fprintf(f, "%s %s\n", what, MVTEST_NAME);
        std::fclose(f);
    }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int MvTestPlain() {
    return 7;
}

#if !defined(MVTEST_PLAIN)
extern "C" __attribute__((visibility("default"))) BOOL DllMain(HINSTANCE, DWORD reason, LPVOID) {
    Log(reason == DLL_PROCESS_ATTACH ? "attach" : "detach");
#if defined(MVTEST_REFUSE)
    return reason == DLL_PROCESS_ATTACH ? FALSE : TRUE;
#else
    return TRUE;
#endif
}
#endif

#if defined(MVTEST_SERVER)
// {6F1B2C3D-0001-4A5B-8C7D-112233445566}
MV_DEFINE_GUID(CLSID_MvTestServer, 0x6F1B2C3D, 0x0001, 0x4A5B, 0x8C, 0x7D, 0x11, 0x22, 0x33, 0x44,
               0x55, 0x66);

namespace {

std::atomic<int> g_objects{0};
std::atomic<int> g_locks{0};

// DISPID 1 returns 42 as VT_I4.
class Answer final : public IDispatch {
public:
    Answer() { ++g_objects; }
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch) {
            AddRef();
            *ppv = static_cast<IDispatch*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        ULONG left = --refs_;
        if (!left) delete this;
        return left;
    }
    HRESULT GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                   UINT*) override {
        if (id != 1) return DISP_E_MEMBERNOTFOUND;
        if (result) {
            result->vt = VT_I4;
            result->lVal = 42;
        }
        return S_OK;
    }

private:
    ~Answer() { --g_objects; }
    std::atomic<ULONG> refs_{1};
};

class Factory final : public IClassFactory {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
        auto* obj = new Answer;
        HRESULT hr = obj->QueryInterface(riid, ppv);
        obj->Release();
        return hr;
    }
    HRESULT LockServer(BOOL lock) override {
        g_locks += lock ? 1 : -1;
        return S_OK;
    }
};

Factory g_factory;

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid,
                                                                            REFIID riid,
                                                                            LPVOID* ppv) {
    if (clsid != CLSID_MvTestServer) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, ppv);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
    return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE;
}
#endif
