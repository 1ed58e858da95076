// The message-bus adapter as the module sees it. The module creates one
// adapter for its publications, initialises and starts it, and stops it
// before the last reference goes. The adapter is called through these
// positions of its function table (counted from 0 over the whole interface,
// IUnknown and IDispatch included): 7 Initialize, 9 Start, 11 Stop; the
// Reserved slots keep the positions of members the module never calls.
#pragma once

#include "comobj.h"

MV_DEFINE_GUID(IID_IMvAdapterControl, 0x5E2A7C41, 0x3B9D, 0x4F6A, 0x8C, 0x21, 0x47, 0xD0, 0x19,
               0xA3, 0x6B, 0x52);

struct IMvAdapterControl : IDispatch {
    // Keeps the receiver of the adapter's callbacks and the path of its
    // properties file.
    virtual HRESULT Initialize(IUnknown* pReceiver, BSTR PropertiesFile) = 0;
    virtual HRESULT Reserved8() { return E_NOTIMPL; }
    virtual HRESULT Start() = 0;
    virtual HRESULT Reserved10() { return E_NOTIMPL; }
    // Ends the adapter's work and lets the receiver go.
    virtual HRESULT Stop() = 0;

protected:
    ~IMvAdapterControl() = default;
};
MV_IID_OF(IMvAdapterControl, IID_IMvAdapterControl);
