// The instance makers of the module's classes. A class that is built adds
// its line here, for example
//   MvRegisterClassFactory(CLSID_MvCalculation, &mv::CreateComObject<CMvCalculation>);
// Classes without a line answer CLASS_E_CLASSNOTAVAILABLE.
#include "frame/dll_exports.h"
#include "interfaces/MvMorvaCalc_ids.h"

void MvAddModuleClassFactories() {}
