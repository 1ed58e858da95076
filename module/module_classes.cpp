// The instance makers of the module's classes. A class that is built adds
// its line here, for example
//   MvRegisterClassFactory(CLSID_MvCalculation, &mv::CreateComObject<CMvCalculation>);
// Classes without a line answer CLASS_E_CLASSNOTAVAILABLE.
#include "calculation/calculation.h"
#include "environment/calc_environment.h"
#include "environment/formula_library.h"
#include "environment/formula_ref.h"
#include "executors/calc_ole_arg.h"
#include "executors/calc_ole_method.h"
#include "executors/core_functions.h"
#include "frame/dll_exports.h"
#include "interfaces/MvMorvaCalc_ids.h"
#include "parameters/eng_unit.h"
#include "parameters/eng_unit_type.h"
#include "parameters/parameter.h"
#include "persistence/calc_property.h"
#include "persistence/calc_sample_info.h"
#include "persistence/calc_value.h"
#include "persistence/obj_collection.h"
#include "scheduling/calculation_ref.h"
#include "scheduling/schedule_group.h"
#include "sources/bpd_receiver.h"
#include "sources/data_set.h"
#include "sources/data_set_column.h"
#include "sources/dravik_connect.h"

void MvAddModuleClassFactories() {
    MvRegisterClassFactory(CLSID_MvCalculation, &mv::CreateComObject<CMvCalculation>);
    MvRegisterClassFactory(CLSID_MvObjCollection, &mv::CreateComObject<CMvObjCollection>);
    MvRegisterClassFactory(CLSID_MvCalcValue, &mv::CreateComObject<CMvCalcValue>);
    MvRegisterClassFactory(CLSID_MvCalcValues, &mv::CreateComObject<CMvCalcValues>);
    MvRegisterClassFactory(CLSID_MvCalcProperty, &mv::CreateComObject<CMvCalcProperty>);
    MvRegisterClassFactory(CLSID_MvCalcProperties, &mv::CreateComObject<CMvCalcProperties>);
    MvRegisterClassFactory(CLSID_MvCalcSampleInfo, &mv::CreateComObject<CMvCalcSampleInfo>);
    MvRegisterClassFactory(CLSID_MvEngUnit, &mv::CreateComObject<CMvEngUnit>);
    MvRegisterClassFactory(CLSID_MvEngUnitType, &mv::CreateComObject<CMvEngUnitType>);
    MvRegisterClassFactory(CLSID_MvParameter, &mv::CreateComObject<CMvParameter>);
    MvRegisterClassFactory(CLSID_MvDataSet, &mv::CreateComObject<CMvDataSet>);
    MvRegisterClassFactory(CLSID_MvDataSetColumn, &mv::CreateComObject<CMvDataSetColumn>);
    MvRegisterClassFactory(CLSID_MvCalcOLEMethod, &mv::CreateComObject<CMvCalcOLEMethod>);
    MvRegisterClassFactory(CLSID_MvCalcOLEArg, &mv::CreateComObject<CMvCalcOLEArg>);
    MvRegisterClassFactory(CLSID_MvDravikConnect, &mv::CreateComObject<CMvDravikConnect>);
    MvRegisterClassFactory(CLSID_MvCalcCoreFunctions, &mv::CreateComObject<CMvCalcCoreFunctions>);
    MvRegisterClassFactory(CLSID_MvScheduleGroup, &mv::CreateComObject<CMvScheduleGroup>);
    MvRegisterClassFactory(CLSID_MvCalculationRef, &mv::CreateComObject<CMvCalculationRef>);
    MvRegisterClassFactory(CLSID_MvCalcEnvironment, &mv::CreateComObject<CMvCalcEnvironment>);
    MvRegisterClassFactory(CLSID_MvPDCalcEnv, &mv::CreateComObject<CMvPDCalcEnv>);
    MvRegisterClassFactory(CLSID_MvFormulaLibrary, &mv::CreateComObject<CMvFormulaLibrary>);
    MvRegisterClassFactory(CLSID_MvFormulaRef, &mv::CreateComObject<CMvFormulaRef>);
    MvRegisterClassFactory(CLSID_MvCalcBPDReceiver, &mv::CreateComObject<CMvCalcBPDReceiver>);
}
