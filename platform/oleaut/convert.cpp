// VARIANT coercion: VariantChangeType(Ex) and the single VarXxxFromYyy calls.
#include "include/oleaut.h"

extern "C" {

HRESULT VariantChangeTypeEx(VARIANTARG*, const VARIANTARG*, LCID, USHORT, VARTYPE) {
    return E_NOTIMPL;
}
HRESULT VariantChangeType(VARIANTARG* d, const VARIANTARG* s, USHORT f, VARTYPE vt) {
    return VariantChangeTypeEx(d, s, LCID_EN_US, f, vt);
}
HRESULT VarBstrFromR8(DOUBLE, LCID, ULONG, BSTR*) { return E_NOTIMPL; }
HRESULT VarBstrFromR4(FLOAT, LCID, ULONG, BSTR*) { return E_NOTIMPL; }
HRESULT VarBstrFromDate(DATE, LCID, ULONG, BSTR*) { return E_NOTIMPL; }
HRESULT VarR8FromStr(const OLECHAR*, LCID, ULONG, DOUBLE*) { return E_NOTIMPL; }
HRESULT VarI4FromStr(const OLECHAR*, LCID, ULONG, LONG*) { return E_NOTIMPL; }
HRESULT VarDateFromStr(const OLECHAR*, LCID, ULONG, DATE*) { return E_NOTIMPL; }
HRESULT VarI4FromR8(DOUBLE, LONG*) { return E_NOTIMPL; }

}  // extern "C"
