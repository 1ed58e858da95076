#include "sources/bpd_receiver.h"

HRESULT CMvCalcBPDReceiver::GetTypeInfoCount(UINT*) {
    return E_NOTIMPL;
}

HRESULT CMvCalcBPDReceiver::GetTypeInfo(UINT, LCID, ITypeInfo**) {
    return E_NOTIMPL;
}

HRESULT CMvCalcBPDReceiver::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
    return E_NOTIMPL;
}

HRESULT CMvCalcBPDReceiver::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) {
    return E_NOTIMPL;
}

HRESULT CMvCalcBPDReceiver::OnMessage(BSTR, BSTR, BSTR) {
    return S_OK;
}

HRESULT CMvCalcBPDReceiver::OnRequest(BSTR, BSTR, BSTR, IUnknown*) {
    return S_OK;
}

HRESULT CMvCalcBPDReceiver::OnConnectionChanged(BSTR) {
    return S_OK;
}

HRESULT CMvCalcBPDReceiver::OnAdapterError(BSTR) {
    return S_OK;
}

HRESULT CMvCalcBPDReceiver::CheckApplication(IUnknown*) {
    return S_OK;
}
