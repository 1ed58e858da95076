// The module's conversion of a value to a variant type given as a number, as
// the automation formula, data sets and recipe bindings use it: the number
// comes from a definition (a data type property) and is checked here before
// the platform sees it.
#pragma once

#include "oleaut.h"

// Converts `source` into `target` as the variant type `type`:
// - a number below 0 or from 0xFFFF up: E_INVALIDARG, the target untouched;
// - 12 (VT_VARIANT): the value copied as it is (VariantCopy);
// - any other number: VariantChangeType with no flags, whose result this is.
// An exception is logged and gives E_UNEXPECTED.
HRESULT CalcVariantChangeType(VARIANT* target, const VARIANT* source, LONG type);

// The result of a conversion or copy whose failure the caller passes over as
// a value that cannot be converted. Running out of memory is no such value:
// it is thrown as std::bad_alloc, for the method frame or the run to report,
// instead of an empty or default value that would pass for a result.
HRESULT MvThrowIfOutOfMemory(HRESULT hr);

// The result of a copy whose other failures the caller does not report
// (S_OK): E_OUTOFMEMORY stays, as a value left empty or old would pass for
// the one asked for.
inline HRESULT MvOutOfMemoryOnly(HRESULT hr) noexcept {
    return hr == E_OUTOFMEMORY ? hr : S_OK;
}
