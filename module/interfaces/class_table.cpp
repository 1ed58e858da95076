#include "interfaces/class_table.h"

#include <iterator>

#include "interfaces/MvMorvaCalc_ids.h"

namespace {

constexpr const char* kBoth = "Both";

// In registration order. Every class but the formula reference and the
// message-bus receiver is marked programmable. The last two rows keep their
// registration order although their script numbers run the other way.
constexpr MvClassInfo kClasses[] = {
    {"CMvCalculation", "MvCalculation", CLSID_MvCalculation, "Morva.Calc.Calculation.1",
     "Morva.Calc.Calculation", "MvCalculation Class", true, kBoth, 102},
    {"CMvParameter", "MvParameter", CLSID_MvParameter, "Morva.Calc.Parameter.1",
     "Morva.Calc.Parameter", "MvParameter Class", true, kBoth, 103},
    {"CMvObjCollection", "MvObjCollection", CLSID_MvObjCollection, "Morva.Calc.ObjCollection.1",
     "Morva.Calc.ObjCollection", "MvObjCollection Class", true, kBoth, 104},
    {"CMvDataSet", "MvDataSet", CLSID_MvDataSet, "Morva.Calc.DataSet.1", "Morva.Calc.DataSet",
     "MvDataSet Class", true, kBoth, 105},
    {"CMvDataSetColumn", "MvDataSetColumn", CLSID_MvDataSetColumn, "Morva.Calc.DataSetColumn.1",
     "Morva.Calc.DataSetColumn", "MvDataSetColumn Class", true, kBoth, 106},
    {"CMvScheduleGroup", "MvScheduleGroup", CLSID_MvScheduleGroup, "Morva.Calc.ScheduleGroup.1",
     "Morva.Calc.ScheduleGroup", "MvScheduleGroup Class", true, kBoth, 107},
    {"CMvFormulaLibrary", "MvFormulaLibrary", CLSID_MvFormulaLibrary, "Morva.Calc.FormulaLibrary.1",
     "Morva.Calc.FormulaLibrary", "MvFormulaLibrary Class", true, kBoth, 108},
    {"CMvEngUnit", "MvEngUnit", CLSID_MvEngUnit, "Morva.Calc.EngUnit.1", "Morva.Calc.EngUnit",
     "MvEngUnit Class", true, kBoth, 109},
    {"CMvEngUnitType", "MvEngUnitType", CLSID_MvEngUnitType, "Morva.Calc.EngUnitType.1",
     "Morva.Calc.EngUnitType", "MvEngUnitType Class", true, kBoth, 110},
    {"CMvFormulaRef", "MvFormulaRef", CLSID_MvFormulaRef, "Morva.Calc.FormulaRef.1",
     "Morva.Calc.FormulaRef", "MvFormulaRef Class", false, kBoth, 111},
    {"CMvCalcOLEMethod", "MvCalcOLEMethod", CLSID_MvCalcOLEMethod, "Morva.Calc.CalcOLEMethod.1",
     "Morva.Calc.CalcOLEMethod", "MvCalcOLEMethod Class", true, kBoth, 112},
    {"CMvCalcOLEArg", "MvCalcOLEArg", CLSID_MvCalcOLEArg, "Morva.Calc.CalcOLEArg.1",
     "Morva.Calc.CalcOLEArg", "MvCalcOLEArg Class", true, kBoth, 113},
    {"CMvCalculationRef", "MvCalculationRef", CLSID_MvCalculationRef, "Morva.Calc.CalculationRef.1",
     "Morva.Calc.CalculationRef", "MvCalculationRef Class", true, kBoth, 114},
    {"CMvCalcEnvironment", "MvCalcEnvironment", CLSID_MvCalcEnvironment, "Morva.Calc.Environment.1",
     "Morva.Calc.Environment", "MvCalcEnvironment Class", true, kBoth, 115},
    {"CMvDravikConnect", "MvDravikConnect", CLSID_MvDravikConnect, "Morva.Calc.DravikConnect.1",
     "Morva.Calc.DravikConnect", "MvDravikConnect Class", true, kBoth, 116},
    {"CMvCalcValue", "MvCalcValue", CLSID_MvCalcValue, "Morva.Calc.Value.1", "Morva.Calc.Value",
     "MvCalcValue Class", true, kBoth, 117},
    {"CMvCalcValues", "MvCalcValues", CLSID_MvCalcValues, "Morva.Calc.Values.1",
     "Morva.Calc.Values", "MvCalcValues Class", true, kBoth, 118},
    {"CMvCalcCoreFunctions", "MvCalcCoreFunctions", CLSID_MvCalcCoreFunctions,
     "Morva.Calc.CoreFunctions.1", "Morva.Calc.CoreFunctions", "MvCalcCoreFunctions Class", true,
     kBoth, 119},
    {"CMvPDCalcEnv", "MvPDCalcEnv", CLSID_MvPDCalcEnv, "Morva.Calc.PDCalcEnv.1",
     "Morva.Calc.PDCalcEnv", "MvPDCalcEnv Class", true, kBoth, 120},
    {"CMvCalcSampleInfo", "MvCalcSampleInfo", CLSID_MvCalcSampleInfo,
     "MorvaCalc.MvCalcSampleInfo.1", "MorvaCalc.MvCalcSampleInfo", "MvCalcSampleInfo Class", true,
     kBoth, 121},
    {"CMvCalcBPDReceiver", "MvCalcBPDReceiver", CLSID_MvCalcBPDReceiver, "Morva.Calc.BPDReceiver.1",
     "Morva.Calc.BPDReceiver", "MvCalcBPDReceiver Class", false, kBoth, 122},
    {"CMvCalcProperties", "MvCalcProperties", CLSID_MvCalcProperties, "Morva.Calc.CalcProperties.1",
     "Morva.Calc.CalcProperties", "MvCalcProperties Class", true, kBoth, 124},
    {"CMvCalcProperty", "MvCalcProperty", CLSID_MvCalcProperty, "Morva.Calc.CalcProperty.1",
     "Morva.Calc.CalcProperty", "MvCalcProperty Class", true, kBoth, 123},
};
static_assert(std::size(kClasses) == kMvClassCount);

}  // namespace

std::span<const MvClassInfo> MvClassTable() noexcept {
    return kClasses;
}

const MvClassInfo* MvFindClass(REFCLSID clsid) noexcept {
    for (const MvClassInfo& info : kClasses) {
        if (info.clsid == clsid) return &info;
    }
    return nullptr;
}

std::vector<MvScriptKey> MvRegistryScript(const MvClassInfo& info, std::string_view modulePath) {
    const std::string clsid = mv::GuidToString(info.clsid);
    const std::string progId = info.progId;
    const std::string viProgId = info.versionIndependentProgId;
    const std::string classKey = "CLSID\\" + clsid;

    auto key = [](std::string path, const char* def,
                  MvScriptKeyMode mode = MvScriptKeyMode::Normal) {
        MvScriptKey k;
        k.path = std::move(path);
        k.hasDefault = def != nullptr;
        if (def) k.defaultValue = def;
        k.mode = mode;
        return k;
    };

    std::vector<MvScriptKey> keys;
    keys.push_back(key(progId, info.description));
    keys.push_back(key(progId + "\\CLSID", clsid.c_str()));
    keys.push_back(key(viProgId, info.description));
    keys.push_back(key(viProgId + "\\CLSID", clsid.c_str()));
    keys.push_back(key(viProgId + "\\CurVer", progId.c_str()));
    keys.push_back(key("CLSID", nullptr, MvScriptKeyMode::NoRemove));
    keys.push_back(key(classKey, info.description, MvScriptKeyMode::ForceRemove));
    keys.push_back(key(classKey + "\\ProgID", progId.c_str()));
    keys.push_back(key(classKey + "\\VersionIndependentProgID", viProgId.c_str()));
    if (info.programmable) {
        keys.push_back(key(classKey + "\\Programmable", nullptr, MvScriptKeyMode::ForceRemove));
    }
    const std::string module(modulePath);
    MvScriptKey server = key(classKey + "\\InprocServer32", module.c_str());
    server.values.emplace_back("ThreadingModel", info.threadingModel);
    keys.push_back(std::move(server));
    const std::string libId = mv::GuidToString(LIBID_MvMorvaCalc);
    keys.push_back(key(classKey + "\\TypeLib", libId.c_str()));
    return keys;
}
