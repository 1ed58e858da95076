// Helpers of the parameter tests: a new parameter, property access through
// its dispatch interface, and the thread's error information.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "comobj.h"
#include "interfaces/IMvParameter.h"
#include "parameters/parameter.h"

namespace parameter_test {

inline mv::ComPtr<IMvParameter> NewParameter() {
    mv::ComPtr<IMvParameter> p;
    EXPECT_EQ(mv::CreateComObject<CMvParameter>(nullptr, IID_IMvParameter, p.PutVoid()), S_OK);
    return p;
}

// A property read through IDispatch::Invoke.
inline mv::Variant DispGet(IDispatch* d, DISPID id) {
    DISPPARAMS none{};
    mv::Variant result;
    EXPECT_EQ(d->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr),
              S_OK)
        << "DISPID " << id;
    return result;
}

// A property written through IDispatch::Invoke.
inline HRESULT DispPut(IDispatch* d, DISPID id, const VARIANT& value,
                       WORD kind = DISPATCH_PROPERTYPUT) {
    VARIANT arg = value;
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{&arg, &named, 1, 1};
    return d->Invoke(id, IID_NULL, 0, kind, &params, nullptr, nullptr, nullptr);
}

// The thread's error description, taken (and so cleared); empty when none.
inline std::u16string TakeErrorText() {
    mv::ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Put()) != S_OK || !info) return {};
    mv::Bstr text;
    info->GetDescription(text.Out());
    return std::u16string(text.view());
}

inline std::u16string Text(BSTR b) {
    return b ? std::u16string(b, SysStringLen(b)) : std::u16string();
}

}  // namespace parameter_test
