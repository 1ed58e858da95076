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

CorvexScriptCalls GetCorvexScriptCalls() {
    CorvexScriptCalls calls;
    if (HMODULE module = CalcLoadLibrary("corvex.dll")) {
        calls.Parse =
            reinterpret_cast<PFN_parse_simple_calc3>(GetProcAddress(module, "parse_simple_calc3"));
        calls.NextParameter =
            reinterpret_cast<PFN_next_parameter3>(GetProcAddress(module, "next_parameter3"));
        calls.Free =
            reinterpret_cast<PFN_free_simple_calc>(GetProcAddress(module, "free_simple_calc"));
        calls.Execute =
            reinterpret_cast<PFN_execute_corvex_exx>(GetProcAddress(module, "execute_corvex_exx"));
    }
    return calls;
}
