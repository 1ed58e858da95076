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
