// Stand-in of the product's time-conversion component and its control
// surface for tests. Thread-safe.
#pragma once

#include "sources/time_conversion_interface.h"

namespace timeconv {

// Puts the class object into the process-local class table (once).
HRESULT Register();
// Takes it out again.
void Revoke();
// Forgets the calls and the creation failure.
void Reset();
// Makes every creation fail with `hr` (S_OK: creations succeed).
void SetCreateFailure(HRESULT hr);
// Conversions made since Reset.
int Calls();

}  // namespace timeconv
