// VARIANT lifetime: initialise, clear, copy.
#include "oleaut.h"

extern "C" {
void VariantInit(VARIANTARG* pvarg) {
    if (pvarg) pvarg->vt = VT_EMPTY;
}
HRESULT VariantClear(VARIANTARG*) {
    return E_NOTIMPL;
}
HRESULT VariantCopy(VARIANTARG*, const VARIANTARG*) {
    return E_NOTIMPL;
}
HRESULT VariantCopyInd(VARIANT*, const VARIANTARG*) {
    return E_NOTIMPL;
}
}
