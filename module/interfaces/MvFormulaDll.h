// The calling contract of a formula library: a shared object whose functions
// calculations of kind 6 (DLL_Formula) run. A formula author compiles against
// this header and links libmvplatform.so, so that strings, variants and
// exception types are the module's own.
//
// Loading: the calculation's DllName goes to the module's library map. A
// name that ends in ".dll" is looked for by the loader's rules (each folder
// of MORVA_DLL_PATH for the name or "lib<stem>.so", then the system's
// search); a path is opened as it stands. Each name is loaded once per
// process and stays loaded until the module unloads.
//
// The formula function is found by the exact text of FunctionName and has
// this form:
//
//   MV_FORMULA_EXPORT void Blend(IMvCalculation* calc, VARIANT* result);
//
//   - `result` comes in as VT_EMPTY. What the function leaves there becomes
//     the value of the calculation's "ReturnValue" parameter; the module owns
//     it and frees it.
//   - `calc` is valid during the call; a function that keeps it adds its own
//     reference. Through it the function reads and writes the calculation's
//     parameters (GetParameter, then IMvParameter's Value).
//   - A failure is thrown. The calculation's ErrorText becomes:
//       a CException (thrown by value)   its message, at most 255 characters
//       std::logic_error or a subclass   "A logic error occurred: <what>"
//       std::runtime_error or subclass   "A runtime error occurred: <what>."
//       long, ULONG, DWORD               "An exception 0x<hex> has occurred in the DLL"
//       int, LONG, HRESULT               "An Error Code <n> has occurred in the DLL"
//       char* or const char*             the text itself
//       anything else                    "An unknown exception has occurred in the DLL"
//     and the run writes no outputs; "ReturnValue" is left empty.
//   - A machine fault inside the function ends the process.
//
// A library may also export `MV_FORMULA_EXPORT void DllShutdown(void);`, called
// once before the library is freed when the module unloads.
//
// Build the library with hidden visibility (-fvisibility=hidden): only what
// MV_FORMULA_EXPORT marks is exported.
#pragma once

#include "interfaces/IMvCalculation.h"

#define MV_FORMULA_EXPORT extern "C" [[gnu::visibility("default")]]

// A formula function and the optional shutdown export.
using MvFormulaFunction = void (*)(IMvCalculation* calc, VARIANT* result);
using MvFormulaShutdown = void (*)();
