// What the automation-object formula's passes share with their tests: the
// text of a failed Invoke and the forming of a by-reference argument.
#pragma once

#include <string>

#include "oleaut.h"

// Appends the text for a failed Invoke's `hr` to `message` and frees (and
// nulls) the strings of `info`. A code without a text of its own gives
// "Error from IDispatch:Invoke:<hr in hex>" and turns `hr` into 0x800706BF.
void GetInvokeError(HRESULT& hr, EXCEPINFO& info, std::string& message);

// Makes `argument` a by-reference argument of the variant type `type` that
// points into `storage`, which receives the value of `source` converted to
// that type. Value types point at the value inside the storage, VT_VARIANT
// at the storage itself; 0 and 1 leave an empty argument. A failed
// conversion leaves the argument as it was; any other type gives
// DISP_E_BADVARTYPE and an empty storage.
HRESULT SetupByRefArgument(VARIANT* argument, const VARIANT* source, VARIANT* storage, LONG type);
