// VARIANT coercion: VariantChangeType(Ex) and the single VarXxxFromYyy calls.
//
// Every locale behaves as en-US in this port, including an LCID it does not
// know. A conversion is computed into a separate VARIANT first, so a failure
// leaves the destination untouched and a conversion in place frees the
// source only once the result exists.
#include <cfloat>
#include <cmath>
#include <limits>
#include <string>

#include "oleaut/convert_internal.h"
#include "oleaut/oleaut_internal.h"

namespace {

using mv::convert::Exact;
using mv::convert::Int128;
using mv::convert::ParsedNumber;
using mv::convert::UInt128;

constexpr int kMaxDepth = 8;  // default members that answer objects, by-reference chains
using mv::convert::kFirstDate;
using mv::convert::kPastLastDate;
const Int128 kDecimalMax = (Int128(1) << 96) - 1;

bool IsInteger(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_I8:
        case VT_UI8:
            return true;
        default:
            return false;
    }
}

bool IsUnsigned(VARTYPE vt) {
    return vt == VT_UI1 || vt == VT_UI2 || vt == VT_UI4 || vt == VT_UINT || vt == VT_UI8;
}

// Integer types of one size up to four bytes: the platform converts between
// them by keeping the bits.
bool SameNarrowIntegerSize(VARTYPE a, VARTYPE b) {
    return IsInteger(a) && IsInteger(b) && mv::oleaut::ValueSize(a) == mv::oleaut::ValueSize(b) &&
           mv::oleaut::ValueSize(a) <= 4;
}

// The types a VARIANT may hold by value, other than arrays.
bool IsKnownType(VARTYPE vt) {
    return (vt <= VT_DECIMAL) || (vt >= VT_I1 && vt <= VT_UINT) || vt == VT_RECORD;
}

void IntegerRange(VARTYPE vt, Int128* lo, Int128* hi) {
    switch (vt) {
        case VT_I1:
            *lo = INT8_MIN, *hi = INT8_MAX;
            break;
        case VT_UI1:
            *lo = 0, *hi = UINT8_MAX;
            break;
        case VT_I2:
            *lo = INT16_MIN, *hi = INT16_MAX;
            break;
        case VT_UI2:
            *lo = 0, *hi = UINT16_MAX;
            break;
        case VT_I4:
        case VT_INT:
            *lo = INT32_MIN, *hi = INT32_MAX;
            break;
        case VT_UI4:
        case VT_UINT:
            *lo = 0, *hi = UINT32_MAX;
            break;
        case VT_I8:
            *lo = INT64_MIN, *hi = INT64_MAX;
            break;
        default:
            *lo = 0, *hi = UINT64_MAX;
            break;
    }
}

void StoreInteger(VARIANT* v, VARTYPE vt, Int128 x) {
    switch (vt) {
        case VT_I1:
            v->cVal = static_cast<CHAR>(x);
            break;
        case VT_UI1:
            v->bVal = static_cast<BYTE>(x);
            break;
        case VT_I2:
            v->iVal = static_cast<SHORT>(x);
            break;
        case VT_UI2:
            v->uiVal = static_cast<USHORT>(x);
            break;
        case VT_I4:
        case VT_INT:
            v->lVal = static_cast<LONG>(x);
            break;
        case VT_UI4:
        case VT_UINT:
            v->ulVal = static_cast<ULONG>(x);
            break;
        case VT_I8:
            v->llVal = static_cast<LONGLONG>(x);
            break;
        default:
            v->ullVal = static_cast<ULONGLONG>(x);
            break;
    }
    v->vt = vt;
}

// A numeric view of a scalar source: an exact decimal or a double.
struct Numeric {
    bool is_double = false;
    double dbl = 0.0;
    Exact exact;
};

Numeric FromDouble(double d) {
    Numeric n;
    n.is_double = true;
    n.dbl = d;
    return n;
}

Numeric FromExact(Int128 mantissa, int scale) {
    Numeric n;
    n.exact = {mantissa, scale};
    return n;
}

// Reads a scalar source as a number. Text is parsed; VT_BOOL reads -1/0.
HRESULT ToNumeric(const VARIANT& v, Numeric* out) {
    switch (v.vt) {
        case VT_EMPTY:
            *out = FromExact(0, 0);
            return S_OK;
        case VT_I1:
            *out = FromExact(v.cVal, 0);
            return S_OK;
        case VT_UI1:
            *out = FromExact(v.bVal, 0);
            return S_OK;
        case VT_I2:
            *out = FromExact(v.iVal, 0);
            return S_OK;
        case VT_UI2:
            *out = FromExact(v.uiVal, 0);
            return S_OK;
        case VT_I4:
        case VT_INT:
            *out = FromExact(v.lVal, 0);
            return S_OK;
        case VT_UI4:
        case VT_UINT:
            *out = FromExact(v.ulVal, 0);
            return S_OK;
        case VT_I8:
            *out = FromExact(v.llVal, 0);
            return S_OK;
        case VT_UI8:
            *out = FromExact(v.ullVal, 0);
            return S_OK;
        case VT_BOOL:
            *out = FromExact(v.boolVal, 0);
            return S_OK;
        case VT_R4:
            *out = FromDouble(v.fltVal);
            return S_OK;
        case VT_R8:
            *out = FromDouble(v.dblVal);
            return S_OK;
        case VT_DATE:
            *out = FromDouble(v.date);
            return S_OK;
        case VT_CY:
            *out = FromExact(v.cyVal.int64, 4);
            return S_OK;
        case VT_DECIMAL:
            out->is_double = false;
            return mv::convert::DecimalToExact(v.decVal, &out->exact);
        case VT_BSTR: {
            ParsedNumber p;
            const HRESULT hr = mv::convert::ParseNumber(
                {v.bstrVal ? v.bstrVal : u"", SysStringLen(v.bstrVal)}, &p);
            if (FAILED(hr)) return hr;
            if (p.exact)
                *out = FromExact(p.value.mantissa, p.value.scale);
            else
                *out = FromDouble(p.dbl);
            return S_OK;
        }
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

double NumericToDouble(const Numeric& n) {
    return n.is_double ? n.dbl : mv::convert::ExactToDouble(n.exact);
}

HRESULT NumericToInteger(const Numeric& n, VARTYPE vt, Int128* out) {
    Int128 x = 0;
    if (n.is_double) {
        if (!mv::convert::RoundToInt128(n.dbl, &x)) return DISP_E_OVERFLOW;
    } else {
        x = mv::convert::RoundExactToInt128(n.exact);
    }
    Int128 lo, hi;
    IntegerRange(vt, &lo, &hi);
    if (x < lo || x > hi) return DISP_E_OVERFLOW;
    *out = x;
    return S_OK;
}

HRESULT NumericToCurrency(const Numeric& n, CY* out) {
    Int128 scaled = 0;
    if (n.is_double) {
        if (!mv::convert::RoundToInt128(n.dbl * 10000.0, &scaled)) return DISP_E_OVERFLOW;
    } else {
        // Scaling up a large integer could leave 128 bits; it overflows a CY long before.
        const Int128 limit = Int128(INT64_MAX) * 10000;
        if (n.exact.scale < 4 && (n.exact.mantissa > limit || n.exact.mantissa < -limit))
            return DISP_E_OVERFLOW;
        scaled = mv::convert::Rescale(n.exact, 4).mantissa;
    }
    if (scaled < INT64_MIN || scaled > INT64_MAX) return DISP_E_OVERFLOW;
    out->int64 = static_cast<LONGLONG>(scaled);
    return S_OK;
}

HRESULT NumericToDecimal(const Numeric& n, DECIMAL* out) {
    if (!n.is_double) return mv::convert::ExactToDecimal(n.exact, out);
    if (!std::isfinite(n.dbl) || std::fabs(n.dbl) >= 7.9228162514264338e28) return DISP_E_OVERFLOW;
    // A double carries fifteen meaningful digits: 0.1 becomes 0.1, not its binary expansion.
    ParsedNumber p;
    const std::u16string text = mv::convert::FormatReal(n.dbl, 15);
    if (FAILED(mv::convert::ParseNumber(text, &p)) || !p.exact) p.value = {0, 0};
    return mv::convert::ExactToDecimal(p.value, out);
}

HRESULT AllocBstr(const std::u16string& s, VARIANT* out) {
    BSTR b = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
    if (!b) return E_OUTOFMEMORY;
    out->vt = VT_BSTR;
    out->bstrVal = b;
    return S_OK;
}

HRESULT ToText(const VARIANT& v, USHORT flags, VARIANT* out) {
    std::u16string s;
    switch (v.vt) {
        case VT_EMPTY:
            break;
        case VT_R4:
            s = mv::convert::FormatReal(v.fltVal, 7);
            break;
        case VT_R8:
            s = mv::convert::FormatReal(v.dblVal, 15);
            break;
        case VT_CY:
            s = mv::convert::FormatCurrency(v.cyVal.int64);
            break;
        case VT_DATE: {
            const HRESULT hr = mv::convert::FormatDate(v.date, 0, &s);
            if (FAILED(hr)) return hr;
            break;
        }
        case VT_BOOL:
            if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL))
                s = v.boolVal ? u"True" : u"False";
            else
                s = mv::ToUtf16(std::to_string(v.boolVal));
            break;
        default: {
            Numeric n;
            const HRESULT hr = ToNumeric(v, &n);
            if (FAILED(hr)) return hr;
            s = mv::convert::FormatExact(n.exact);
            break;
        }
    }
    return AllocBstr(s, out);
}

HRESULT TextToBool(BSTR text, VARIANT_BOOL* out) {
    const std::u16string_view raw(text ? text : u"", SysStringLen(text));
    size_t b = 0, e = raw.size();
    while (b < e && mv::convert::IsBlank(raw[b])) ++b;
    while (e > b && mv::convert::IsBlank(raw[e - 1])) --e;
    const std::u16string_view s = raw.substr(b, e - b);
    if (s == u"#TRUE#" || mv::EqualsNoCase(s, u"true")) return *out = VARIANT_TRUE, S_OK;
    if (s == u"#FALSE#" || mv::EqualsNoCase(s, u"false")) return *out = VARIANT_FALSE, S_OK;
    ParsedNumber p;
    const HRESULT hr = mv::convert::ParseNumber(s, &p);
    if (FAILED(hr)) return hr;
    const bool nonzero = p.exact ? p.value.mantissa != 0 : p.dbl != 0.0;
    *out = nonzero ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT Coerce(VARIANT* out, const VARIANT& src, LCID lcid, USHORT flags, VARTYPE vt, int depth);

// The default member's value, in `value` (which holds nothing on entry). A
// member that ran out of memory says so: that is no value of another type.
HRESULT InvokeDefault(IDispatch* disp, LCID lcid, VARIANT* value) {
    VariantInit(value);
    if (!disp) return DISP_E_TYPEMISMATCH;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    const HRESULT hr = disp->Invoke(DISPID_VALUE, IID_NULL, lcid, DISPATCH_PROPERTYGET, &none,
                                    value, nullptr, nullptr);
    if (FAILED(hr)) {
        VariantClear(value);
        return hr == E_OUTOFMEMORY ? hr : DISP_E_TYPEMISMATCH;
    }
    return S_OK;
}

// Reads the default member of an object and converts what it answers.
HRESULT FromDefaultMember(VARIANT* out, IDispatch* disp, LCID lcid, USHORT flags, VARTYPE vt,
                          int depth) {
    if ((flags & VARIANT_NOVALUEPROP) || depth >= kMaxDepth) return DISP_E_TYPEMISMATCH;
    VARIANT value;
    HRESULT hr = InvokeDefault(disp, lcid, &value);
    if (FAILED(hr)) return hr;
    hr = Coerce(out, value, lcid, flags, vt, depth + 1);
    VariantClear(&value);
    return hr;
}

HRESULT ToObject(const VARIANT& src, VARTYPE vt, VARIANT* out) {
    if (src.vt != VT_DISPATCH && src.vt != VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
    IUnknown* unk = src.vt == VT_DISPATCH ? src.pdispVal : src.punkVal;
    void* result = nullptr;
    if (unk) {
        const HRESULT hr =
            unk->QueryInterface(vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, &result);
        if (FAILED(hr)) return hr;
    }
    out->vt = vt;
    out->byref = result;
    return S_OK;
}

HRESULT ToBool(const VARIANT& src, VARIANT* out) {
    VARIANT_BOOL b = VARIANT_FALSE;
    if (src.vt == VT_BSTR) {
        const HRESULT hr = TextToBool(src.bstrVal, &b);
        if (FAILED(hr)) return hr;
    } else {
        Numeric n;
        const HRESULT hr = ToNumeric(src, &n);
        if (FAILED(hr)) return hr;
        const bool nonzero = n.is_double ? n.dbl != 0.0 : n.exact.mantissa != 0;
        b = nonzero ? VARIANT_TRUE : VARIANT_FALSE;
    }
    out->vt = VT_BOOL;
    out->boolVal = b;
    return S_OK;
}

HRESULT ToDate(const VARIANT& src, VARIANT* out) {
    DATE d = 0.0;
    if (src.vt == VT_BSTR) {
        const HRESULT hr = mv::convert::ParseDate(
            {src.bstrVal ? src.bstrVal : u"", SysStringLen(src.bstrVal)}, 0, &d);
        if (FAILED(hr)) return hr;
    } else {
        Numeric n;
        const HRESULT hr = ToNumeric(src, &n);
        if (FAILED(hr)) return hr;
        d = NumericToDouble(n);
        if (!(d >= kFirstDate && d < kPastLastDate)) return DISP_E_OVERFLOW;
    }
    out->vt = VT_DATE;
    out->date = d;
    return S_OK;
}

HRESULT ToScalar(const VARIANT& src, USHORT flags, VARTYPE vt, VARIANT* out) {
    if (vt == VT_BSTR) return ToText(src, flags, out);
    if (vt == VT_BOOL) return ToBool(src, out);
    if (vt == VT_DATE) return ToDate(src, out);
    if (IsInteger(vt) && src.vt == VT_BOOL && IsUnsigned(vt)) {
        // True is all bits set: VT_BOOL -1 reads 255, 65535, ... as an unsigned type.
        StoreInteger(
            out, vt,
            static_cast<Int128>(static_cast<ULONGLONG>(static_cast<LONGLONG>(src.boolVal))) &
                (vt == VT_UI1   ? 0xFF
                 : vt == VT_UI2 ? 0xFFFF
                 : vt == VT_UI8 ? ~0ull
                                : 0xFFFFFFFFull));
        return S_OK;
    }
    if (src.vt == VT_I8 && vt == VT_CY &&
        (src.llVal >= INT64_MAX / 10000 || src.llVal <= INT64_MIN / 10000))
        return DISP_E_OVERFLOW;  // the platform's limit, one short of the type's range
    Numeric n;
    HRESULT hr = ToNumeric(src, &n);
    if (FAILED(hr)) return hr;
    if (SameNarrowIntegerSize(vt, src.vt)) {
        // Between integer types of one size the platform keeps the bits:
        // VT_I2 -2 reads as VT_UI2 65534, VT_UINT 0xFFFFFFFF as VT_I4 -1.
        StoreInteger(out, vt, n.exact.mantissa);
        return S_OK;
    }
    if (IsInteger(vt)) {
        Int128 x = 0;
        hr = NumericToInteger(n, vt, &x);
        if (FAILED(hr)) return hr;
        StoreInteger(out, vt, x);
        return S_OK;
    }
    switch (vt) {
        case VT_R4: {
            const double d = NumericToDouble(n);
            if (std::fabs(d) > FLT_MAX) return DISP_E_OVERFLOW;  // NaN passes through
            out->vt = VT_R4;
            out->fltVal = static_cast<FLOAT>(d);
            return S_OK;
        }
        case VT_R8:
            out->vt = VT_R8;
            out->dblVal = NumericToDouble(n);
            return S_OK;
        case VT_CY: {
            CY cy{};
            hr = NumericToCurrency(n, &cy);
            if (FAILED(hr)) return hr;
            out->vt = VT_CY;
            out->cyVal = cy;
            return S_OK;
        }
        case VT_DECIMAL: {
            DECIMAL d{};
            hr = NumericToDecimal(n, &d);
            if (FAILED(hr)) return hr;
            out->decVal = d;
            out->vt = VT_DECIMAL;
            return S_OK;
        }
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

// Follows VT_BYREF to a by-value view that shares the referenced data.
HRESULT Dereference(const VARIANT& src, VARIANT* view, int depth) {
    if (!(src.vt & VT_BYREF)) {
        *view = src;
        return S_OK;
    }
    const VARTYPE base = src.vt & VT_TYPEMASK;
    if (!src.byref) return DISP_E_TYPEMISMATCH;
    if (src.vt & VT_ARRAY) {
        view->vt = src.vt & ~VT_BYREF;
        view->parray = *src.pparray;
        return S_OK;
    }
    VARIANT v;
    VariantInit(&v);
    switch (base) {
        case VT_VARIANT:
            if (depth >= kMaxDepth) return DISP_E_TYPEMISMATCH;
            return Dereference(*src.pvarVal, view, depth + 1);
        case VT_I1:
            v.cVal = *src.pcVal;
            break;
        case VT_UI1:
            v.bVal = *src.pbVal;
            break;
        case VT_I2:
            v.iVal = *src.piVal;
            break;
        case VT_UI2:
            v.uiVal = *src.puiVal;
            break;
        case VT_I4:
        case VT_INT:
            v.lVal = *src.plVal;
            break;
        case VT_UI4:
        case VT_UINT:
            v.ulVal = *src.pulVal;
            break;
        case VT_I8:
            v.llVal = *src.pllVal;
            break;
        case VT_UI8:
            v.ullVal = *src.pullVal;
            break;
        case VT_R4:
            v.fltVal = *src.pfltVal;
            break;
        case VT_R8:
            v.dblVal = *src.pdblVal;
            break;
        case VT_CY:
            v.cyVal = *src.pcyVal;
            break;
        case VT_DATE:
            v.date = *src.pdate;
            break;
        case VT_BSTR:
            v.bstrVal = *src.pbstrVal;
            break;
        case VT_DISPATCH:
            v.pdispVal = *src.ppdispVal;
            break;
        case VT_UNKNOWN:
            v.punkVal = *src.ppunkVal;
            break;
        case VT_ERROR:
            v.scode = *src.pscode;
            break;
        case VT_BOOL:
            v.boolVal = *src.pboolVal;
            break;
        case VT_DECIMAL:
            v.decVal = *src.pdecVal;
            break;
        default:
            return DISP_E_BADVARTYPE;
    }
    v.vt = base;
    *view = v;
    return S_OK;
}

// Converts `src` (not by reference) into `out`, which the caller owns and
// which holds nothing on entry.
HRESULT Coerce(VARIANT* out, const VARIANT& src, LCID lcid, USHORT flags, VARTYPE vt, int depth) {
    VARIANT v;
    HRESULT hr = Dereference(src, &v, 0);
    if (FAILED(hr)) return hr;
    const VARTYPE from = v.vt;
    if ((from & ~VT_ARRAY) > VT_TYPEMASK || !IsKnownType(from & VT_TYPEMASK) ||
        (from & VT_TYPEMASK) == VT_VARIANT)
        return DISP_E_BADVARTYPE;
    if (from == vt) return VariantCopy(out, &v);
    if (from & VT_ARRAY) return DISP_E_TYPEMISMATCH;

    if (vt == VT_EMPTY || vt == VT_NULL) {
        if (from == VT_ERROR || from == VT_NULL) return DISP_E_TYPEMISMATCH;
        out->vt = vt;
        return S_OK;
    }
    if (from == VT_NULL || from == VT_ERROR || from == VT_RECORD) return DISP_E_TYPEMISMATCH;
    if (vt == VT_ERROR || vt == VT_VARIANT || vt == VT_RECORD) return DISP_E_TYPEMISMATCH;
    if (vt == VT_DISPATCH || vt == VT_UNKNOWN) return ToObject(v, vt, out);
    if (from == VT_UNKNOWN) return DISP_E_TYPEMISMATCH;  // a bare IUnknown has no default value
    if (from == VT_DISPATCH) return FromDefaultMember(out, v.pdispVal, lcid, flags, vt, depth);
    return ToScalar(v, flags, vt, out);
}

bool IsValidTarget(VARTYPE vt) {
    if (vt & (VT_BYREF | VT_VECTOR | VT_RESERVED)) return false;
    return IsKnownType(vt & VT_TYPEMASK) && (vt & ~(VT_ARRAY | VT_TYPEMASK)) == 0;
}

std::u16string_view View(const OLECHAR* s) {
    return s ? std::u16string_view(s) : std::u16string_view();
}

}  // namespace

namespace mv::convert {

Exact Rescale(const Exact& e, int scale) {
    if (e.scale == scale) return e;
    if (e.scale < scale) {
        Exact r = e;
        while (r.scale < scale) r.mantissa *= 10, ++r.scale;
        return r;
    }
    return {RoundExactToInt128({e.mantissa, e.scale - scale}), scale};
}

HRESULT DecimalToExact(const DECIMAL& d, Exact* out) {
    if (d.scale > 28 || (d.sign != 0 && d.sign != DECIMAL_NEG)) return E_INVALIDARG;
    const Int128 m = (Int128(d.Hi32) << 64) | Int128(d.Lo64);
    *out = {d.sign == DECIMAL_NEG ? -m : m, d.scale};
    return S_OK;
}

HRESULT ExactToDecimal(const Exact& value, DECIMAL* out) {
    Exact e = value;
    if (e.scale > 28) e = Rescale(e, 28);
    while ((e.mantissa > kDecimalMax || e.mantissa < -kDecimalMax) && e.scale > 0)
        e = Rescale(e, e.scale - 1);
    if (e.mantissa > kDecimalMax || e.mantissa < -kDecimalMax) return DISP_E_OVERFLOW;
    const UInt128 m = static_cast<UInt128>(e.mantissa < 0 ? -e.mantissa : e.mantissa);
    DECIMAL d{};
    d.scale = static_cast<BYTE>(e.scale);
    d.sign = e.mantissa < 0 ? DECIMAL_NEG : 0;
    d.Hi32 = static_cast<ULONG>(m >> 64);
    d.Lo64 = static_cast<ULONGLONG>(m);
    *out = d;
    return S_OK;
}

HRESULT ResolveValue(const VARIANT& src, LCID lcid, VARIANT* out) {
    VariantInit(out);
    VARIANT view;
    HRESULT hr = Dereference(src, &view, 0);
    if (FAILED(hr)) return hr;
    if (view.vt != VT_DISPATCH) return VariantCopy(out, &view);
    VARIANT value;
    hr = InvokeDefault(view.pdispVal, lcid, &value);
    for (int depth = 1; SUCCEEDED(hr) && value.vt == VT_DISPATCH; ++depth) {
        VARIANT next;
        hr = depth < kMaxDepth ? InvokeDefault(value.pdispVal, lcid, &next) : DISP_E_TYPEMISMATCH;
        VariantClear(&value);
        if (SUCCEEDED(hr)) value = next;
    }
    if (FAILED(hr)) return hr;
    if (!(value.vt & VT_BYREF)) return *out = value, S_OK;
    // A default member may itself answer a reference, which owns nothing.
    return VariantCopyInd(out, &value);
}

}  // namespace mv::convert

extern "C" {

HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid,
                            USHORT wFlags, VARTYPE vt) {
    if (!pvargDest || !pvarSrc) return E_INVALIDARG;
    if (!IsValidTarget(vt)) {
        const VARTYPE base = vt & VT_TYPEMASK;
        return (vt & (VT_BYREF | VT_VECTOR | VT_RESERVED)) && IsKnownType(base)
                   ? DISP_E_TYPEMISMATCH
                   : DISP_E_BADVARTYPE;
    }
    if ((vt & VT_ARRAY) && vt != pvarSrc->vt) return DISP_E_TYPEMISMATCH;
    VARIANT result;
    VariantInit(&result);
    HRESULT hr = mv::CallGuarded([&] { return Coerce(&result, *pvarSrc, lcid, wFlags, vt, 0); });
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    *pvargDest = result;
    return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                          VARTYPE vt) {
    return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}

HRESULT VarBstrFromR8(DOUBLE dblIn, LCID, ULONG, BSTR* pbstrOut) {
    if (!pbstrOut) return E_INVALIDARG;
    return mv::CallGuarded([&]() -> HRESULT {
        const std::u16string s = mv::convert::FormatReal(dblIn, 15);
        *pbstrOut = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
        return *pbstrOut ? S_OK : E_OUTOFMEMORY;
    });
}

HRESULT VarBstrFromR4(FLOAT fltIn, LCID, ULONG, BSTR* pbstrOut) {
    if (!pbstrOut) return E_INVALIDARG;
    return mv::CallGuarded([&]() -> HRESULT {
        const std::u16string s = mv::convert::FormatReal(fltIn, 7);
        *pbstrOut = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
        return *pbstrOut ? S_OK : E_OUTOFMEMORY;
    });
}

HRESULT VarBstrFromDate(DATE dateIn, LCID, ULONG dwFlags, BSTR* pbstrOut) {
    if (!pbstrOut) return E_INVALIDARG;
    return mv::CallGuarded([&]() -> HRESULT {
        std::u16string s;
        const HRESULT hr = mv::convert::FormatDate(dateIn, dwFlags, &s);
        if (FAILED(hr)) return hr;
        *pbstrOut = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
        return *pbstrOut ? S_OK : E_OUTOFMEMORY;
    });
}

HRESULT VarR8FromStr(const OLECHAR* strIn, LCID, ULONG, DOUBLE* pdblOut) {
    if (!pdblOut) return E_INVALIDARG;
    if (!strIn) return DISP_E_TYPEMISMATCH;
    return mv::CallGuarded([&]() -> HRESULT {
        ParsedNumber p;
        const HRESULT hr = mv::convert::ParseNumber(View(strIn), &p);
        if (FAILED(hr)) return hr;
        *pdblOut = p.exact ? mv::convert::ExactToDouble(p.value) : p.dbl;
        return S_OK;
    });
}

HRESULT VarI4FromStr(const OLECHAR* strIn, LCID, ULONG, LONG* plOut) {
    if (!plOut) return E_INVALIDARG;
    if (!strIn) return DISP_E_TYPEMISMATCH;
    return mv::CallGuarded([&]() -> HRESULT {
        ParsedNumber p;
        HRESULT hr = mv::convert::ParseNumber(View(strIn), &p);
        if (FAILED(hr)) return hr;
        Int128 x = 0;
        hr = NumericToInteger(
            p.exact ? FromExact(p.value.mantissa, p.value.scale) : FromDouble(p.dbl), VT_I4, &x);
        if (FAILED(hr)) return hr;
        *plOut = static_cast<LONG>(x);
        return S_OK;
    });
}

HRESULT VarDateFromStr(const OLECHAR* strIn, LCID, ULONG dwFlags, DATE* pdateOut) {
    if (!pdateOut) return E_INVALIDARG;
    if (!strIn) return DISP_E_TYPEMISMATCH;
    return mv::CallGuarded(
        [&]() -> HRESULT { return mv::convert::ParseDate(View(strIn), dwFlags, pdateOut); });
}

HRESULT VarI4FromR8(DOUBLE dblIn, LONG* plOut) {
    if (!plOut) return E_INVALIDARG;
    Int128 x = 0;
    const HRESULT hr = NumericToInteger(FromDouble(dblIn), VT_I4, &x);
    if (FAILED(hr)) return hr;
    *plOut = static_cast<LONG>(x);
    return S_OK;
}

}  // extern "C"
