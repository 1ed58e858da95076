// Helpers shared by the VARIANT and SAFEARRAY code; not part of the
// platform's surface.
#pragma once

#include "oleaut.h"

namespace mv::oleaut {

// Bytes one value of a base VARTYPE occupies in an array element or behind
// a by-reference VARIANT; 0 for a type that arrays do not hold.
ULONG ValueSize(VARTYPE vt) noexcept;

}  // namespace mv::oleaut
