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
    {10, S_OK, u"This array is fixed or temporarily locked"},
    {28, S_OK, u"Out of stack space"},
    {424, S_OK, u"Object required"},
    {429, S_OK, u"ActiveX component can't create object"},
    {438, DISP_E_UNKNOWNNAME, u"Object doesn't support this property or method"},
    {438, DISP_E_MEMBERNOTFOUND, u"Object doesn't support this property or method"},
    {450, DISP_E_BADPARAMCOUNT, u"Wrong number of arguments or invalid property assignment"},
    {451, S_OK, u"Object not a collection"},
    {500, S_OK, u"Variable is undefined"},
    {501, S_OK, u"Illegal assignment"},
    // Compilation errors.
    {1002, S_OK, u"Syntax error"},
    {1005, S_OK, u"Expected '('"},
    {1006, S_OK, u"Expected ')'"},
    {1010, S_OK, u"Expected identifier"},
    {1011, S_OK, u"Expected '='"},
    {1012, S_OK, u"Expected 'If'"},
    {1013, S_OK, u"Expected 'To'"},
    {1014, S_OK, u"Expected 'End'"},
    {1015, S_OK, u"Expected 'Function'"},
    {1016, S_OK, u"Expected 'Sub'"},
    {1017, S_OK, u"Expected 'Then'"},
    {1021, S_OK, u"Expected 'Case'"},
    {1022, S_OK, u"Expected 'Select'"},
    {1024, S_OK, u"Expected statement"},
    {1025, S_OK, u"Expected end of statement"},
    {1032, S_OK, u"Invalid character"},
    {1033, S_OK, u"Unterminated string constant"},
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
