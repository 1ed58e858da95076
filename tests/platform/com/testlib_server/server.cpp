// A small in-process server for activation and loader tests. Each DllMain
// notification is appended as a line ("attach <name>" / "detach <name>") to
// the file named by MV_TESTLIB_LOG, so that tests can count them even after
// the library is gone.
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

// DISPID 1 returns 42 as VT_I4.
class CAnswer : public mv::ComObjectRoot<CAnswer>, public IDispatch {
public:
    using InterfaceMap = mv::Interfaces<IDispatch>;
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
};

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid,
                                                                            REFIID riid,
                                                                            LPVOID* ppv) {
    if (clsid != CLSID_MvTestServer) return CLASS_E_CLASSNOTAVAILABLE;
    return mv::CreateClassFactory<CAnswer>(riid, ppv);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
    return mv::ModuleCanUnloadNow();
}
#endif
