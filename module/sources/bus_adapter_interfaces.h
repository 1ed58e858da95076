// The message-bus adapter as the module sees it. The module creates one
// adapter for its publications, initialises and starts it, and stops it
// before the last reference goes. The adapter is called through these
// positions of its function table (counted from 0 over the whole interface,
// IUnknown and IDispatch included): 7 Initialize, 9 Start, 11 Stop; the
// Reserved slots keep the positions of members the module never calls.
//
// The same adapter object answers the header interface, from which each
// publication takes a fresh header text, and the send interface, which
// publishes a document. The module hands the adapter a receiver of its own
// that answers the receive and monitor interfaces; the adapter calls those
// through their function tables only.
#pragma once

#include "comobj.h"

// The adapter's class.
MV_DEFINE_GUID(CLSID_MvQuenbusAdapter, 0x5E2A7C40, 0x3B9D, 0x4F6A, 0x8C, 0x21, 0x47, 0xD0, 0x19,
               0xA3, 0x6B, 0x52);
MV_DEFINE_GUID(IID_IMvAdapterControl, 0x5E2A7C41, 0x3B9D, 0x4F6A, 0x8C, 0x21, 0x47, 0xD0, 0x19,
               0xA3, 0x6B, 0x52);
MV_DEFINE_GUID(IID_IMvBPDHeader, 0x5E2A7C42, 0x3B9D, 0x4F6A, 0x8C, 0x21, 0x47, 0xD0, 0x19, 0xA3,
               0x6B, 0x52);
MV_DEFINE_GUID(IID_IMvAdapterMsgSend, 0x5E2A7C43, 0x3B9D, 0x4F6A, 0x8C, 0x21, 0x47, 0xD0, 0x19,
               0xA3, 0x6B, 0x52);
MV_DEFINE_GUID(IID_IMvAppMsgReceive, 0x4C7D1A41, 0x868F, 0x3E58, 0x89, 0xD4, 0x84, 0x8A, 0x65, 0x36,
               0x3A, 0x81);
MV_DEFINE_GUID(IID_IMvMonitorApp, 0xBF2CCF6F, 0x5BEE, 0x37BE, 0x89, 0xDD, 0xDF, 0xAD, 0x1F, 0xCB,
               0xB4, 0x27);

struct IMvAdapterControl : IDispatch {
    // Keeps the receiver of the adapter's callbacks (its IMvAppMsgReceive)
    // and the path of its properties file.
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

struct IMvBPDHeader : IDispatch {
    // A new header text: a complete XML document whose root element is the
    // header element.
    virtual HRESULT PopulateHeader(BSTR* Header) = 0;

protected:
    ~IMvBPDHeader() = default;
};
MV_IID_OF(IMvBPDHeader, IID_IMvBPDHeader);

struct IMvAdapterMsgSend : IDispatch {
    // Sends the document under the subject and the record name. After a
    // failure the adapter object may answer IErrorInfo with the reason.
    virtual HRESULT Publish(BSTR Subject, BSTR RecordName, BSTR* Document) = 0;

protected:
    ~IMvAdapterMsgSend() = default;
};
MV_IID_OF(IMvAdapterMsgSend, IID_IMvAdapterMsgSend);

// What the adapter hands its client application: messages on the subjects
// it listens to, requests, and changes of its connection.
struct IMvAppMsgReceive : IDispatch {
    virtual HRESULT OnMessage(BSTR Subject, BSTR RecordName, BSTR Document) = 0;
    virtual HRESULT OnRequest(BSTR Subject, BSTR RecordName, BSTR Document, IUnknown* ReplyTo) = 0;
    virtual HRESULT OnConnectionChanged(BSTR State) = 0;
    virtual HRESULT OnAdapterError(BSTR Description) = 0;

protected:
    ~IMvAppMsgReceive() = default;
};
MV_IID_OF(IMvAppMsgReceive, IID_IMvAppMsgReceive);

// The adapter's monitor asks its client application whether it is alive.
struct IMvMonitorApp : IDispatch {
    virtual HRESULT CheckApplication(IUnknown* Monitor) = 0;

protected:
    ~IMvMonitorApp() = default;
};
MV_IID_OF(IMvMonitorApp, IID_IMvMonitorApp);
