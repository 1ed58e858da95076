// The calls behind the entry points, for the builds of "corvex.dll" only
// (corvex.h describes them).
#pragma once

#include "corvex.h"

#define CVX_API [[gnu::visibility("default")]]

namespace cvx {

CVX_API LONG FieldUnitHist(const char* server, LONG group, const char* tag, char* field,
                           char* units, char* historyField);
CVX_API VARIANT TagValidate3(const char* server, LONG group, const char* tag, const char* field,
                             LONG* recordId, LONG* fieldId, LONG* definitionId, LONG* statusFieldId,
                             LONG* fieldType, LONG* reserved1, LONG* reserved2,
                             const char* historyField, LONG* historyFieldId);
CVX_API LONG ParseScript(IMvCalculation* calc, const char* script, void** handle, LONG adHoc);
CVX_API LONG NextParameter(void* handle, char* name, char* node, char* record, LONG* found,
                           LONG* kind, double* offset);
CVX_API LONG FreeParse(void* handle);
CVX_API LONG ExecuteScript(IMvCalculation* calc, LONG hasDravik, const char* script, LONG onDemand,
                           LONG sandBox);

}  // namespace cvx
