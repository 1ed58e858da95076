// The formula scripting library "corvex.dll", loaded on first need through
// the module's map of loaded DLLs (which also frees it when the module
// unloads) and never at start-up.
#pragma once

#include "corvex.h"

// The library's tag calls, null where the library or the entry point is
// missing.
struct CorvexTagCalls {
    PFN_KeldrinFieldUnitHist FieldUnitHist = nullptr;
    PFN_KeldrinTagValidate3 TagValidate3 = nullptr;
};

// Loads the library when it is not loaded (a failed load is tried again on
// the next call) and gives its tag calls. Safe from any thread.
CorvexTagCalls GetCorvexTagCalls();

// The library's four script calls; Complete() only when every one is there.
struct CorvexScriptCalls {
    PFN_parse_simple_calc3 Parse = nullptr;
    PFN_next_parameter3 NextParameter = nullptr;
    PFN_free_simple_calc Free = nullptr;
    PFN_execute_corvex_exx Execute = nullptr;
    bool Complete() const { return Parse && NextParameter && Free && Execute; }
};

// As GetCorvexTagCalls, for the script calls.
CorvexScriptCalls GetCorvexScriptCalls();
