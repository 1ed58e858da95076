// Support shared by the OLE Automation tests: text readers, VARIANT builders
// and a dispatch object that counts its references and answers a default
// member.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "oleaut.h"

namespace mv::test {

inline std::string Utf8(BSTR b) {
    return mv::ToUtf8(std::u16string_view(b ? b : u"", SysStringLen(b)));
}
inline std::string Utf8(const VARIANT& v) {
    return Utf8(v.bstrVal);
}

// A raw VARIANT of type `vt` whose value bytes hold `bits`; owns nothing.
inline VARIANT Raw(VARTYPE vt, LONGLONG bits = 0) {
    VARIANT v;
    std::memset(&v, 0, sizeof v);
    v.llVal = bits;
    v.vt = vt;
    return v;
}
// The same, as an owning wrapper (for types that own nothing).
inline mv::Variant Of(VARTYPE vt, LONGLONG bits) {
    mv::Variant v;
    v.llVal = bits;
    v.vt = vt;
    return v;
}
inline mv::Variant R8(double d) {
    return mv::Variant(d);
}
inline mv::Variant Str(const char* utf8) {
    return mv::Variant(std::u16string_view(mv::ToUtf16(utf8)));
}

// Values written as "TYPE:text", the text converted by VariantChangeType:
// "I2:5", "R8:0.5", "Str:abc", "Bool:True", "Dec:0.1", "Cy:1.5",
// "Date:45000" (days), "Err:0", "Null", "Empty"; "R8:nan" and "R8:inf" give
// those doubles. Spec() writes a value back in the same form (NaN as "nan"),
// so a table compares type and value as one text.
struct SpecType {
    const char* name;
    VARTYPE vt;
};
inline constexpr SpecType kSpecTypes[] = {
    {"Empty", VT_EMPTY}, {"Null", VT_NULL}, {"I2", VT_I2},     {"I4", VT_I4},    {"R4", VT_R4},
    {"R8", VT_R8},       {"Cy", VT_CY},     {"Date", VT_DATE}, {"Str", VT_BSTR}, {"Bool", VT_BOOL},
    {"Dec", VT_DECIMAL}, {"I1", VT_I1},     {"UI1", VT_UI1},   {"I8", VT_I8},    {"Err", VT_ERROR}};

inline mv::Variant V(std::string_view typed) {
    const size_t colon = typed.find(':');
    const std::string_view name = typed.substr(0, colon);
    const std::string text(colon == typed.npos ? "" : typed.substr(colon + 1));
    mv::Variant v;
    for (const SpecType& t : kSpecTypes) {
        if (name != t.name) continue;
        if (t.vt == VT_NULL || t.vt == VT_ERROR) return Of(t.vt, std::atoll(text.c_str()));
        if (text == "nan" || text == "inf") {
            v = mv::Variant(text == "nan" ? std::numeric_limits<double>::quiet_NaN()
                                          : std::numeric_limits<double>::infinity());
            return v;
        }
        mv::Variant s(std::u16string_view(mv::ToUtf16(text)));
        HRESULT hr = t.vt == VT_DATE ? VariantChangeType(&s, &s, 0, VT_R8) : S_OK;
        if (SUCCEEDED(hr) && t.vt != VT_EMPTY) hr = VariantChangeType(&v, &s, 0, t.vt);
        EXPECT_EQ(hr, S_OK) << typed;
        return v;
    }
    ADD_FAILURE() << "no such type: " << typed;
    return v;
}

inline std::string Spec(const VARIANT& v) {
    for (const SpecType& t : kSpecTypes) {
        if (v.vt != t.vt) continue;
        if (v.vt == VT_EMPTY || v.vt == VT_NULL) return t.name;
        if (v.vt == VT_R8 && std::isnan(v.dblVal)) return "R8:nan";
        mv::Variant number, text;
        const VARIANT* src = &v;
        if (v.vt == VT_DATE) {
            number.vt = VT_R8, number.dblVal = v.date;
            src = &number;
        }
        if (FAILED(VariantChangeType(&text, src, VARIANT_ALPHABOOL, VT_BSTR))) break;
        return std::string(t.name) + ":" + Utf8(text.bstrVal);
    }
    return "vt " + std::to_string(v.vt);
}

// The value of an integer, boolean or currency VARIANT, widened (currency
// in ten-thousandths).
inline long long IntOf(const VARIANT& v) {
    if (v.vt == VT_I1) return v.cVal;
    if (v.vt == VT_UI1) return v.bVal;
    if (v.vt == VT_I2) return v.iVal;
    if (v.vt == VT_BOOL) return v.boolVal;
    if (v.vt == VT_UI2) return v.uiVal;
    if (v.vt == VT_I4 || v.vt == VT_INT) return v.lVal;
    if (v.vt == VT_UI4 || v.vt == VT_UINT) return v.ulVal;
    if (v.vt == VT_I8) return v.llVal;
    if (v.vt == VT_UI8) return static_cast<long long>(v.ullVal);
    if (v.vt == VT_CY) return v.cyVal.int64;
    ADD_FAILURE() << "not an integer: vt " << v.vt;
    return 0;
}

// Lives on the test's stack: Release only counts. Its default member
// (DISPID 0) answers a copy of `value`, or fails when `fail` is set; every
// call is recorded. Without `dispatch` it is a bare IUnknown.
class CountedObject final : public IDispatch {
public:
    explicit CountedObject(bool dispatch = true) : dispatch_(dispatch) { VariantInit(&value); }
    ~CountedObject() { VariantClear(&value); }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || (dispatch_ && riid == IID_IDispatch)) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    HRESULT GetTypeInfoCount(UINT* n) override { return *n = 0, S_OK; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO*, UINT*) override {
        calls.push_back({id, flags, params ? params->cArgs : 99u});
        if (fail) return DISP_E_MEMBERNOTFOUND;
        return VariantCopy(result, &value);
    }

    struct Call {
        DISPID id;
        WORD flags;
        UINT args;
    };
    ULONG refs = 1;
    bool fail = false;
    VARIANT value;
    std::vector<Call> calls;

private:
    bool dispatch_;
};

}  // namespace mv::test
