// A message-bus adapter that records what the module asks of it, for the
// tests that put one where the publisher keeps its adapter.
#pragma once

#include <atomic>

#include "comobj.h"
#include "sources/bus_adapter_interfaces.h"

namespace bustest {

class RecordingAdapter : public mv::ComObjectRoot<RecordingAdapter>, public IMvAdapterControl {
public:
    using InterfaceMap = mv::Interfaces<IMvAdapterControl>;
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT Initialize(IUnknown*, BSTR) override {
        ++initializes;
        return S_OK;
    }
    HRESULT Start() override {
        ++starts;
        return S_OK;
    }
    HRESULT Stop() override {
        ++stops;
        return S_OK;
    }
    std::atomic<int> initializes{0}, starts{0}, stops{0};
};

}  // namespace bustest
