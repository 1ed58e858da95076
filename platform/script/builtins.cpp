// The table of built-in functions. Each takes its arguments by value, in
// script order, and answers a value or a failure.
#include <cstring>

#include "script/interpreter.h"

namespace mv::script {
namespace {

HRESULT Answer(bool b, VARIANT* out) {
    out->vt = VT_BOOL;
    out->boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT IsEmptyFn(VARIANT* a, UINT, VARIANT* out) {
    return Answer(a[0].vt == VT_EMPTY, out);
}
HRESULT IsNullFn(VARIANT* a, UINT, VARIANT* out) {
    return Answer(a[0].vt == VT_NULL, out);
}
HRESULT IsObjectFn(VARIANT* a, UINT, VARIANT* out) {
    return Answer(a[0].vt == VT_DISPATCH || a[0].vt == VT_UNKNOWN, out);
}
HRESULT IsArrayFn(VARIANT* a, UINT, VARIANT* out) {
    return Answer((a[0].vt & VT_ARRAY) != 0, out);
}

// LBound/UBound(array[, dimension]): dimensions count from 1.
HRESULT Bound(VARIANT* a, UINT n, VARIANT* out, bool upper) {
    if (!(a[0].vt & VT_ARRAY) || !a[0].parray) return DISP_E_TYPEMISMATCH;
    LONG dim = 1;
    if (n > 1) {
        const HRESULT hr = ToIndex(a[1], &dim);
        if (FAILED(hr)) return hr;
    }
    if (dim < 1) return DISP_E_BADINDEX;
    LONG b = 0;
    const HRESULT hr = upper ? SafeArrayGetUBound(a[0].parray, static_cast<UINT>(dim), &b)
                             : SafeArrayGetLBound(a[0].parray, static_cast<UINT>(dim), &b);
    if (FAILED(hr)) return DISP_E_BADINDEX;
    out->vt = VT_I4;
    out->lVal = b;
    return S_OK;
}
HRESULT LBoundFn(VARIANT* a, UINT n, VARIANT* out) {
    return Bound(a, n, out, false);
}
HRESULT UBoundFn(VARIANT* a, UINT n, VARIANT* out) {
    return Bound(a, n, out, true);
}

constexpr Builtin kBuiltins[] = {
    {u"isempty", 1, 1, IsEmptyFn}, {u"isnull", 1, 1, IsNullFn}, {u"isobject", 1, 1, IsObjectFn},
    {u"isarray", 1, 1, IsArrayFn}, {u"lbound", 1, 2, LBoundFn}, {u"ubound", 1, 2, UBoundFn},
};

}  // namespace

const Builtin* FindBuiltin(const std::u16string& folded) {
    for (const Builtin& b : kBuiltins)
        if (folded == b.name) return &b;
    return nullptr;
}

}  // namespace mv::script
