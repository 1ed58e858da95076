// The script site of the engine benchmarks: it lives on the stack, hands out
// `item` under every name it is asked for (none while `item` is null), and
// ends the program on a script error.
#pragma once

#include "bench_module.h"
#include "script.h"

namespace bench {

class ScriptSite final : public IActiveScriptSite {
public:
    IUnknown* item = nullptr;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid != IID_IUnknown && riid != IID_IActiveScriptSite) return E_NOINTERFACE;
        *ppv = this;
        return S_OK;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT GetLCID(LCID*) override { return E_NOTIMPL; }
    HRESULT GetItemInfo(LPCOLESTR, DWORD, IUnknown** out, ITypeInfo**) override {
        if (!item) return TYPE_E_ELEMENTNOTFOUND;
        return item->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(out));
    }
    HRESULT GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
    HRESULT OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override { return S_OK; }
    HRESULT OnStateChange(SCRIPTSTATE) override { return S_OK; }
    HRESULT OnScriptError(IActiveScriptError*) override {
        Check(false, "a script");
        return S_OK;
    }
    HRESULT OnEnterScript() override { return S_OK; }
    HRESULT OnLeaveScript() override { return S_OK; }
};

}  // namespace bench
