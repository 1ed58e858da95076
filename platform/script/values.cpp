// The script value model: the language's comparison, truth and index rules
// over VARIANTs, and the table from failures to script errors.
#include "oleaut/convert_internal.h"
#include "script.h"

namespace mv::script {
namespace {

struct ErrorRow {
    LONG number;
    HRESULT failure;  // the HRESULT that stands for it, S_OK when none does
    std::u16string_view description;
};

constexpr ErrorRow kErrors[] = {
    {kErrorInvalidProcedureCall, E_INVALIDARG, u"Invalid procedure call or argument"},
    {kErrorOverflow, DISP_E_OVERFLOW, u"Overflow"},
    {kErrorOutOfMemory, E_OUTOFMEMORY, u"Out of memory"},
    {kErrorSubscriptOutOfRange, DISP_E_BADINDEX, u"Subscript out of range"},
    {kErrorDivisionByZero, DISP_E_DIVBYZERO, u"Division by zero"},
    {kErrorTypeMismatch, DISP_E_TYPEMISMATCH, u"Type mismatch"},
    {kErrorInvalidUseOfNull, S_OK, u"Invalid use of Null"},
};

// A value in a by-value form of its own: references followed, objects asked
// for their default member.
HRESULT Resolve(const VARIANT& in, Value* out) {
    out->Clear();
    return mv::convert::ResolveValue(in, LOCALE_USER_DEFAULT, out);
}

bool IsNumber(VARTYPE vt) {
    return vt != VT_EMPTY && vt != VT_NULL && vt != VT_BSTR && !(vt & VT_ARRAY) &&
           vt != VT_DISPATCH && vt != VT_UNKNOWN && vt != VT_ERROR && vt != VT_RECORD;
}

}  // namespace

LONG ErrorNumber(HRESULT failure) {
    if ((static_cast<ULONG>(failure) & 0xFFFF0000u) == 0x800A0000u) return failure & 0xFFFF;
    for (const ErrorRow& row : kErrors)
        if (row.failure == failure && row.failure != S_OK) return row.number;
    return failure;
}

std::u16string_view ErrorDescription(LONG number) {
    for (const ErrorRow& row : kErrors)
        if (row.number == number) return row.description;
    return {};
}

HRESULT CompareValues(const VARIANT& left, const VARIANT& right) {
    Value l, r;
    HRESULT hr = Resolve(left, &l);
    if (SUCCEEDED(hr)) hr = Resolve(right, &r);
    if (FAILED(hr)) return hr;
    if (l.vt == VT_NULL || r.vt == VT_NULL) return VARCMP_NULL;
    if (l.vt == VT_EMPTY && r.vt == VT_EMPTY) return VARCMP_EQ;
    if (IsNumber(l.vt) && r.vt == VT_BSTR) return VARCMP_LT;
    if (l.vt == VT_BSTR && IsNumber(r.vt)) return VARCMP_GT;
    return VarCmp(&l, &r, LOCALE_USER_DEFAULT, 0);
}

HRESULT Compare(Comparison op, const VARIANT& left, const VARIANT& right, VARIANT* result) {
    if (!result) return E_INVALIDARG;
    const HRESULT order = CompareValues(left, right);
    if (FAILED(order)) return order;
    VariantClear(result);
    if (order == VARCMP_NULL) {
        result->vt = VT_NULL;
        return S_OK;
    }
    bool truth = false;
    switch (op) {
        case Comparison::Equal:
            truth = order == VARCMP_EQ;
            break;
        case Comparison::NotEqual:
            truth = order != VARCMP_EQ;
            break;
        case Comparison::Less:
            truth = order == VARCMP_LT;
            break;
        case Comparison::LessEqual:
            truth = order != VARCMP_GT;
            break;
        case Comparison::Greater:
            truth = order == VARCMP_GT;
            break;
        case Comparison::GreaterEqual:
            truth = order != VARCMP_LT;
            break;
    }
    result->vt = VT_BOOL;
    result->boolVal = truth ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT IsTrue(const VARIANT& value, bool* out) {
    Value v;
    HRESULT hr = Resolve(value, &v);
    if (FAILED(hr)) return hr;
    if (v.vt == VT_EMPTY || v.vt == VT_NULL) {
        *out = false;
        return S_OK;
    }
    if (v.vt != VT_BSTR && !IsNumber(v.vt)) return DISP_E_TYPEMISMATCH;
    Value b;
    hr = VariantChangeTypeEx(&b, &v, LOCALE_USER_DEFAULT, 0, VT_BOOL);
    if (FAILED(hr)) return hr;
    *out = b.boolVal != VARIANT_FALSE;
    return S_OK;
}

HRESULT ToIndex(const VARIANT& value, LONG* out) {
    Value v;
    HRESULT hr = Resolve(value, &v);
    if (FAILED(hr)) return hr;
    if (v.vt == VT_NULL) return ErrorScode(kErrorInvalidUseOfNull);
    Value l;
    hr = VariantChangeTypeEx(&l, &v, LOCALE_USER_DEFAULT, 0, VT_I4);
    if (FAILED(hr)) return hr;
    *out = l.lVal;
    return S_OK;
}

}  // namespace mv::script
