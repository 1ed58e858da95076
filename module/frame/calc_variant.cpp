#include "frame/calc_variant.h"

#include <new>

#include "frame/trace.h"

HRESULT CalcVariantChangeType(VARIANT* target, const VARIANT* source, LONG type) {
    try {
        if (type < 0 || type >= 0xFFFF) return E_INVALIDARG;
        if (type == VT_VARIANT) return VariantCopy(target, source);
        return VariantChangeType(target, source, 0, static_cast<VARTYPE>(type));
    } catch (...) {
        MvLogErrorHr("CalcVariantChangeType", E_UNEXPECTED);
        return E_UNEXPECTED;
    }
}

HRESULT MvThrowIfOutOfMemory(HRESULT hr) {
    if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
    return hr;
}
