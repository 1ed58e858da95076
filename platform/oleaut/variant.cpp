// VARIANT lifetime: initialise, clear, copy.
//
// A VARIANT owns what its by-value form holds: a BSTR, one reference on an
// interface, or a SAFEARRAY. A by-reference form (VT_BYREF) points at storage
// that belongs to someone else and owns nothing.
#include <cstring>

#include "oleaut.h"
#include "oleaut/oleaut_internal.h"

namespace {

// Types a VARIANT may carry. VT_RECORD is refused: this layer has no record
// information to copy or free one with.
bool IsValidBaseType(VARTYPE base) noexcept {
    return (base <= VT_DECIMAL) || (base >= VT_I1 && base <= VT_UINT);
}

HRESULT ValidateVartype(VARTYPE vt) noexcept {
    if (vt & (VT_VECTOR | VT_RESERVED)) return DISP_E_BADVARTYPE;
    const VARTYPE base = vt & VT_TYPEMASK;
    if (!IsValidBaseType(base)) return DISP_E_BADVARTYPE;
    // VT_EMPTY and VT_NULL carry no value, so they have no reference or
    // array form.
    if ((vt & (VT_BYREF | VT_ARRAY)) && base <= VT_NULL) return DISP_E_BADVARTYPE;
    return S_OK;
}

// Copies the by-value payload of `src` into the raw VARIANT `out` (whose old
// contents are ignored). On failure `out` is left VT_EMPTY.
HRESULT CopyOwned(VARIANT* out, const VARIANT* src) noexcept {
    const VARTYPE vt = src->vt;
    *out = *src;
    if (vt & VT_BYREF) return S_OK;
    if (vt & VT_ARRAY) {
        out->parray = nullptr;
        if (src->parray) {
            const HRESULT hr = SafeArrayCopy(src->parray, &out->parray);
            if (FAILED(hr)) {
                out->vt = VT_EMPTY;
                return hr;
            }
        }
        return S_OK;
    }
    switch (vt) {
        case VT_BSTR:
            if (src->bstrVal) {
                // By byte length, so that strings made from odd byte counts
                // and embedded NULs survive.
                out->bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(src->bstrVal),
                                                     SysStringByteLen(src->bstrVal));
                if (!out->bstrVal) {
                    out->vt = VT_EMPTY;
                    return E_OUTOFMEMORY;
                }
            }
            return S_OK;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            if (src->punkVal) src->punkVal->AddRef();
            return S_OK;
        default:
            return S_OK;
    }
}

// Dereferences a by-reference VARIANT into the by-value `out`; `out` starts
// empty and is written only on success.
HRESULT Dereference(VARIANT* out, const VARIANT* src) noexcept {
    const VARTYPE base = src->vt & ~VT_BYREF;
    if (!src->byref) return E_INVALIDARG;
    VARIANT value;
    value.vt = base;
    value.wReserved1 = value.wReserved2 = value.wReserved3 = 0;
    value.llVal = 0;
    if (base & VT_ARRAY) {
        value.parray = *src->pparray;
        return CopyOwned(out, &value);
    }
    switch (base) {
        case VT_VARIANT: {
            const VARIANT* inner = src->pvarVal;
            // One level of indirection is resolved; a reference to a
            // reference to a VARIANT is refused.
            if (inner->vt == (VT_VARIANT | VT_BYREF)) return E_INVALIDARG;
            const HRESULT hr = ValidateVartype(inner->vt);
            if (FAILED(hr)) return hr;
            if (inner->vt & VT_BYREF) return Dereference(out, inner);
            return CopyOwned(out, inner);
        }
        case VT_DECIMAL:
            out->decVal = *src->pdecVal;
            out->vt = VT_DECIMAL;
            return S_OK;
        default: {
            const size_t size = mv::oleaut::ValueSize(base);
            if (size == 0) return DISP_E_BADVARTYPE;
            std::memcpy(&value.llVal, src->byref, size);
            break;
        }
    }
    return CopyOwned(out, &value);
}

}  // namespace

SAFEARRAY* mv::oleaut::OwnedArray(const VARIANT& v) noexcept {
    if ((v.vt & (VT_ARRAY | VT_BYREF)) != VT_ARRAY || FAILED(ValidateVartype(v.vt))) return nullptr;
    return v.parray;
}

extern "C" {

void VariantInit(VARIANTARG* pvarg) {
    if (!pvarg) return;
    pvarg->vt = VT_EMPTY;
    pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
    if (!pvarg) return E_INVALIDARG;
    const HRESULT valid = ValidateVartype(pvarg->vt);
    if (FAILED(valid)) return valid;
    const VARTYPE vt = pvarg->vt;
    if (!(vt & VT_BYREF)) {
        if (vt & VT_ARRAY) {
            // A locked array stays where it is, still owned by the VARIANT.
            const HRESULT hr = SafeArrayDestroy(pvarg->parray);
            if (FAILED(hr)) return hr;
        } else if (vt == VT_BSTR) {
            SysFreeString(pvarg->bstrVal);
        } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
            if (pvarg->punkVal) pvarg->punkVal->Release();
        }
    }
    VariantInit(pvarg);
    return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
    if (!pvargDest || !pvargSrc) return E_INVALIDARG;
    if (pvargDest == pvargSrc) return S_OK;
    HRESULT hr = ValidateVartype(pvargSrc->vt);
    if (FAILED(hr)) return hr;
    // Copy first, then clear: the source may live inside what the
    // destination owns (a VARIANT in an array the destination holds).
    VARIANT copy;
    hr = CopyOwned(&copy, pvargSrc);
    if (FAILED(hr)) return hr;
    hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        VariantClear(&copy);
        return hr;
    }
    *pvargDest = copy;
    return S_OK;
}

HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc) {
    if (!pvarDest || !pvargSrc) return E_INVALIDARG;
    HRESULT hr = ValidateVartype(pvargSrc->vt);
    if (FAILED(hr)) return hr;
    if (!(pvargSrc->vt & VT_BYREF)) return VariantCopy(pvarDest, pvargSrc);
    VARIANT copy;
    VariantInit(&copy);
    hr = Dereference(&copy, pvargSrc);
    if (FAILED(hr)) return hr;
    // In place, the destination is the reference itself and owns nothing.
    if (pvarDest != pvargSrc) {
        hr = VariantClear(pvarDest);
        if (FAILED(hr)) {
            VariantClear(&copy);
            return hr;
        }
    }
    *pvarDest = copy;
    return S_OK;
}

}  // extern "C"
