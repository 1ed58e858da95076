// Dispatch drivers: property reads and writes and method calls on any
// IDispatch, by DISPID or by name, and the throwing invoke helper.
#include <vector>

#include "com.h"

namespace mv {
namespace {

// Calls Invoke with the arguments reversed into DISPPARAMS. The copies are
// shallow: the callee borrows the caller's values.
HRESULT InvokeWith(IDispatch* disp, DISPID id, WORD flags, const VARIANT* args, UINT count,
                   VARIANT* result, EXCEPINFO* excep) {
    if (!disp) return E_POINTER;
    if (count && !args) return E_INVALIDARG;
    std::vector<VARIANT> reversed(count);
    for (UINT i = 0; i < count; ++i) reversed[i] = args[count - 1 - i];
    DISPID putId = DISPID_PROPERTYPUT;
    DISPPARAMS dp{reversed.data(), nullptr, count, 0};
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        dp.rgdispidNamedArgs = &putId;
        dp.cNamedArgs = 1;  // the value is the last argument, the first in DISPPARAMS
    }
    UINT argErr = 0;
    return disp->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &dp, result, excep, &argErr);
}

template <class Fn>
HRESULT ByName(IDispatch* disp, const OLECHAR* name, Fn&& call) {
    DISPID id = DISPID_UNKNOWN;
    HRESULT hr = DispGetIDOfName(disp, name, &id);
    return FAILED(hr) ? hr : call(id);
}

}  // namespace

HRESULT DispGetIDOfName(IDispatch* disp, const OLECHAR* name, DISPID* id) {
    if (!disp || !id) return E_POINTER;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    return disp->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, id);
}

HRESULT DispGetProperty(IDispatch* disp, DISPID id, VARIANT* result) {
    if (!result) return E_POINTER;
    VariantClear(result);
    return InvokeWith(disp, id, DISPATCH_PROPERTYGET, nullptr, 0, result, nullptr);
}

HRESULT DispPutProperty(IDispatch* disp, DISPID id, const VARIANT& value) {
    VARTYPE vt = value.vt;
    if (vt == VT_DISPATCH || vt == VT_UNKNOWN || (vt & (VT_ARRAY | VT_BYREF))) {
        HRESULT hr = InvokeWith(disp, id, DISPATCH_PROPERTYPUTREF, &value, 1, nullptr, nullptr);
        if (SUCCEEDED(hr)) return hr;
    }
    return InvokeWith(disp, id, DISPATCH_PROPERTYPUT, &value, 1, nullptr, nullptr);
}

HRESULT DispInvokeMethod(IDispatch* disp, DISPID id, const VARIANT* args, UINT count,
                         VARIANT* result) {
    if (result) VariantClear(result);
    return InvokeWith(disp, id, DISPATCH_METHOD, args, count, result, nullptr);
}

HRESULT DispGetPropertyByName(IDispatch* disp, const OLECHAR* name, VARIANT* result) {
    return ByName(disp, name, [&](DISPID id) { return DispGetProperty(disp, id, result); });
}

HRESULT DispPutPropertyByName(IDispatch* disp, const OLECHAR* name, const VARIANT& value) {
    return ByName(disp, name, [&](DISPID id) { return DispPutProperty(disp, id, value); });
}

HRESULT DispInvokeMethodByName(IDispatch* disp, const OLECHAR* name, const VARIANT* args,
                               UINT count, VARIANT* result) {
    return ByName(disp, name,
                  [&](DISPID id) { return DispInvokeMethod(disp, id, args, count, result); });
}

DispatchException::DispatchException(HRESULT code, std::u16string description,
                                     std::u16string source)
    : std::runtime_error(ToUtf8(description)),
      code_(code),
      description_(std::move(description)),
      source_(std::move(source)) {}

Variant DispInvokeHelper(IDispatch* disp, DISPID id, WORD wFlags, const VARIANT* args, UINT count,
                         VARTYPE resultType) {
    Variant result;
    EXCEPINFO excep{};
    HRESULT hr = InvokeWith(disp, id, wFlags, args, count, &result, &excep);
    if (hr == DISP_E_EXCEPTION) {
        if (excep.pfnDeferredFillIn) excep.pfnDeferredFillIn(&excep);
        Bstr description = Bstr::Attach(excep.bstrDescription);
        Bstr source = Bstr::Attach(excep.bstrSource);
        SysFreeString(excep.bstrHelpFile);
        HRESULT code = excep.scode ? excep.scode : E_FAIL;
        throw DispatchException(code, std::u16string(description.view()),
                                std::u16string(source.view()));
    }
    if (FAILED(hr)) throw DispatchException(hr, {}, {});
    if (resultType == VT_EMPTY) return Variant();
    if (resultType != VT_VARIANT && result.vt != resultType) {
        hr = VariantChangeType(&result, &result, 0, resultType);
        if (FAILED(hr)) throw DispatchException(hr, {}, {});
    }
    return result;
}

}  // namespace mv
