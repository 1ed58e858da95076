// A small in-process server for activation and loader tests. Each DllMain
// notification is appended as a line ("attach <name>" / "detach <name>") to
// the file named by MV_TESTLIB_LOG, so that tests can count them even after
// the library is gone. MV_TESTLIB_PAUSE_GET_US and MV_TESTLIB_PAUSE_RELEASE_US
// (microseconds) hold a thread inside the library: in DllGetClassObject, and
// after an object's last Release has dropped the library's lock count.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <thread>

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

void Pause(const char* variable) {
    if (const char* us = std::getenv(variable))
        std::this_thread::sleep_for(std::chrono::microseconds(std::atol(us)));
}

// DISPID 1 returns 42 as VT_I4. Written by hand, so that its last Release
// still runs the library's code once the lock count is down.
class Answer final : public IDispatch {
public:
    Answer() { mv::ModuleLock(); }
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid != IID_IUnknown && riid != IID_IDispatch) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        *ppv = static_cast<IDispatch*>(this);
        return S_OK;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) {
            delete this;
            mv::ModuleUnlock();
            Pause("MV_TESTLIB_PAUSE_RELEASE_US");
        }
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
    std::atomic<ULONG> refs_{1};
};

class AnswerFactory : public mv::ComObjectRoot<AnswerFactory>, public IClassFactory {
public:
    using InterfaceMap = mv::Interfaces<IClassFactory>;
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        Answer* answer = new (std::nothrow) Answer;
        if (!answer) return E_OUTOFMEMORY;
        const HRESULT hr = answer->QueryInterface(riid, ppv);
        answer->Release();
        return hr;
    }
    HRESULT LockServer(BOOL lock) override {
        if (lock)
            mv::ModuleLock();
        else
            mv::ModuleUnlock();
        return S_OK;
    }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid,
                                                                            REFIID riid,
                                                                            LPVOID* ppv) {
    if (clsid != CLSID_MvTestServer) return CLASS_E_CLASSNOTAVAILABLE;
    Pause("MV_TESTLIB_PAUSE_GET_US");
    return mv::CreateComObject<AnswerFactory>(nullptr, riid, ppv);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
    return mv::ModuleCanUnloadNow();
}
#endif
