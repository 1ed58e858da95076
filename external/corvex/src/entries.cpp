// The entry points of "corvex.dll". Built twice: whole, and with the tag
// calls only (CORVEX_TAG_CALLS_ONLY), for a library that lacks its script
// calls.
#include "impl.h"

extern "C" {

CVX_API LONG KeldrinFieldUnitHist(const char* server, LONG group, const char* tag, char* field,
                                  char* units, char* historyField) {
    return cvx::FieldUnitHist(server, group, tag, field, units, historyField);
}

CVX_API VARIANT KeldrinTagValidate3(const char* server, LONG group, const char* tag,
                                    const char* field, LONG* recordId, LONG* fieldId,
                                    LONG* definitionId, LONG* statusFieldId, LONG* fieldType,
                                    LONG* reserved1, LONG* reserved2, const char* historyField,
                                    LONG* historyFieldId) {
    return cvx::TagValidate3(server, group, tag, field, recordId, fieldId, definitionId,
                             statusFieldId, fieldType, reserved1, reserved2, historyField,
                             historyFieldId);
}

#ifndef CORVEX_TAG_CALLS_ONLY
CVX_API LONG parse_simple_calc3(IMvCalculation* calc, const char* script, void** handle,
                                LONG adHoc) {
    return cvx::ParseScript(calc, script, handle, adHoc);
}

CVX_API LONG next_parameter3(void* handle, char* name, char* node, char* record, LONG* found,
                             LONG* kind, double* offset) {
    return cvx::NextParameter(handle, name, node, record, found, kind, offset);
}

CVX_API LONG free_simple_calc(void* handle) {
    return cvx::FreeParse(handle);
}

CVX_API LONG execute_corvex_exx(IMvCalculation* calc, LONG hasDravik, const char* script,
                                LONG onDemand, LONG sandBox) {
    return cvx::ExecuteScript(calc, hasDravik, script, onDemand, sandBox);
}
#endif

}  // extern "C"
