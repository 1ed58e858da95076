// Helpers shared by the VARIANT and SAFEARRAY code; not part of the
// platform's surface.
#pragma once

#include "oleaut.h"

namespace mv::oleaut {

// Bytes one value of a base VARTYPE occupies in an array element or behind
// a by-reference VARIANT; 0 for a type that arrays do not hold.
ULONG ValueSize(VARTYPE vt) noexcept;

// The array a VARIANT owns: the one VariantClear destroys and VariantCopy
// copies; null for a VARIANT that owns none (a reference, another type, an
// invalid type).
SAFEARRAY* OwnedArray(const VARIANT& v) noexcept;

}  // namespace mv::oleaut
