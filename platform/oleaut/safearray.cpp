// SAFEARRAY descriptors and their data.
#include "oleaut.h"

extern "C" {
SAFEARRAY* SafeArrayCreate(VARTYPE, UINT, SAFEARRAYBOUND*) {
    return nullptr;
}
SAFEARRAY* SafeArrayCreateVector(VARTYPE, LONG, ULONG) {
    return nullptr;
}
HRESULT SafeArrayDestroy(SAFEARRAY*) {
    return E_NOTIMPL;
}
HRESULT SafeArrayGetElement(SAFEARRAY*, LONG*, void*) {
    return E_NOTIMPL;
}
HRESULT SafeArrayPutElement(SAFEARRAY*, LONG*, void*) {
    return E_NOTIMPL;
}
HRESULT SafeArrayGetLBound(SAFEARRAY*, UINT, LONG*) {
    return E_NOTIMPL;
}
HRESULT SafeArrayGetUBound(SAFEARRAY*, UINT, LONG*) {
    return E_NOTIMPL;
}
UINT SafeArrayGetDim(SAFEARRAY*) {
    return 0;
}
UINT SafeArrayGetElemsize(SAFEARRAY*) {
    return 0;
}
HRESULT SafeArrayGetVartype(SAFEARRAY*, VARTYPE*) {
    return E_NOTIMPL;
}
HRESULT SafeArrayRedim(SAFEARRAY*, SAFEARRAYBOUND*) {
    return E_NOTIMPL;
}
HRESULT SafeArrayCopy(SAFEARRAY*, SAFEARRAY**) {
    return E_NOTIMPL;
}
HRESULT SafeArrayCopyData(SAFEARRAY*, SAFEARRAY*) {
    return E_NOTIMPL;
}
HRESULT SafeArrayAccessData(SAFEARRAY*, void**) {
    return E_NOTIMPL;
}
HRESULT SafeArrayUnaccessData(SAFEARRAY*) {
    return E_NOTIMPL;
}
HRESULT SafeArrayLock(SAFEARRAY*) {
    return E_NOTIMPL;
}
HRESULT SafeArrayUnlock(SAFEARRAY*) {
    return E_NOTIMPL;
}
HRESULT SafeArrayPtrOfIndex(SAFEARRAY*, LONG*, void**) {
    return E_NOTIMPL;
}
}
