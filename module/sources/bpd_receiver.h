// CMvCalcBPDReceiver: the receiver that the module hands the message-bus
// adapter when it sets the adapter up. The module only publishes, so every
// callback accepts the call and does nothing; the adapter calls it through
// the function tables only, so late-bound calls are refused.
#pragma once

#include "comobj.h"
#include "interfaces/IMvCalcBPDReceiver.h"
#include "sources/bus_adapter_interfaces.h"

class CMvCalcBPDReceiver : public mv::ComObjectRoot<CMvCalcBPDReceiver>,
                           public IMvCalcBPDReceiver,
                           public IMvAppMsgReceive,
                           public IMvMonitorApp {
public:
    using InterfaceMap = mv::Interfaces<IMvCalcBPDReceiver, IMvAppMsgReceive, IMvMonitorApp>;
    static constexpr const CLSID& kClsid = CLSID_MvCalcBPDReceiver;

    // IDispatch of both adapter interfaces: E_NOTIMPL.
    HRESULT GetTypeInfoCount(UINT* pctinfo) override;
    HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                          DISPID* rgDispId) override;
    HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                   UINT* puArgErr) override;

    // IMvAppMsgReceive and IMvMonitorApp: S_OK, arguments unread.
    HRESULT OnMessage(BSTR Subject, BSTR RecordName, BSTR Document) override;
    HRESULT OnRequest(BSTR Subject, BSTR RecordName, BSTR Document, IUnknown* ReplyTo) override;
    HRESULT OnConnectionChanged(BSTR State) override;
    HRESULT OnAdapterError(BSTR Description) override;
    HRESULT CheckApplication(IUnknown* Monitor) override;
};
