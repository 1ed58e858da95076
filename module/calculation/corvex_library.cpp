#include "calculation/corvex_library.h"

#include "frame/loaded_dlls.h"

// The map of loaded DLLs loads the library once (under its own lock) and
// hands out the same handle afterwards; the entry points are looked up in
// the handle of the moment, so that nothing outlives a library the module
// freed at unload.
CorvexTagCalls GetCorvexTagCalls() {
    CorvexTagCalls calls;
    if (HMODULE module = CalcLoadLibrary("corvex.dll")) {
        calls.FieldUnitHist = reinterpret_cast<PFN_KeldrinFieldUnitHist>(
            GetProcAddress(module, "KeldrinFieldUnitHist"));
        calls.TagValidate3 = reinterpret_cast<PFN_KeldrinTagValidate3>(
            GetProcAddress(module, "KeldrinTagValidate3"));
    }
    return calls;
}
