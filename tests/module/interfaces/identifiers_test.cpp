#include <gtest/gtest.h>

#include <set>
#include <string>

#include "interfaces/MvMorvaCalc_ids.h"

namespace {

struct IdCase {
    const char* name;
    GUID id;
    const char* text;
};

// The registered text form of every identifier, as the registry and the
// type library show them.
const IdCase kIds[] = {
    {"MvMorvaCalc", LIBID_MvMorvaCalc, "{3C8B53E2-E39D-11D2-B903-00805F712C95}"},
    {"MvCalculation", CLSID_MvCalculation, "{3C8B53F0-E39D-11D2-B903-00805F712C95}"},
    {"MvParameter", CLSID_MvParameter, "{3C8B53F2-E39D-11D2-B903-00805F712C95}"},
    {"MvObjCollection", CLSID_MvObjCollection, "{060C2313-E609-11D2-B903-00805F712C95}"},
    {"MvDataSet", CLSID_MvDataSet, "{830CBBF3-E946-11D2-B905-00805F712C95}"},
    {"MvDataSetColumn", CLSID_MvDataSetColumn, "{842ED963-E950-11D2-B905-00805F712C95}"},
    {"MvScheduleGroup", CLSID_MvScheduleGroup, "{655997C3-E956-11D2-B905-00805F712C95}"},
    {"MvFormulaLibrary", CLSID_MvFormulaLibrary, "{B94FB633-EB65-11D2-B905-00805F712C95}"},
    {"MvEngUnit", CLSID_MvEngUnit, "{97474693-EB6A-11D2-B905-00805F712C95}"},
    {"MvEngUnitType", CLSID_MvEngUnitType, "{A68D02B3-EB71-11D2-B905-00805F712C95}"},
    {"MvFormulaRef", CLSID_MvFormulaRef, "{AF8BC903-EC7D-11D2-9573-0008C7A0E7AD}"},
    {"MvCalcOLEMethod", CLSID_MvCalcOLEMethod, "{9A6F42B3-F9D5-11D2-B906-00805F712C95}"},
    {"MvCalcOLEArg", CLSID_MvCalcOLEArg, "{45B910B3-F9D7-11D2-B906-00805F712C95}"},
    {"MvCalculationRef", CLSID_MvCalculationRef, "{24F059B3-FF43-11D2-B907-00805F712C95}"},
    {"MvCalcEnvironment", CLSID_MvCalcEnvironment, "{16393D13-016A-11D3-B907-00805F712C95}"},
    {"MvDravikConnect", CLSID_MvDravikConnect, "{53F69F03-1917-11D3-B909-00805F712C95}"},
    {"MvCalcValue", CLSID_MvCalcValue, "{56E03121-F961-11D4-976B-0008C7A0E7AD}"},
    {"MvCalcValues", CLSID_MvCalcValues, "{56E03139-F961-11D4-976B-0008C7A0E7AD}"},
    {"MvCalcCoreFunctions", CLSID_MvCalcCoreFunctions, "{87530B96-40F7-443F-AE26-3D149CB5909A}"},
    {"MvPDCalcEnv", CLSID_MvPDCalcEnv, "{E6368011-327D-498C-A476-AC7DF6AB76C5}"},
    {"MvCalcSampleInfo", CLSID_MvCalcSampleInfo, "{7B9A7075-89D1-487E-9FB1-7EEC3BC75C8F}"},
    {"MvCalcBPDReceiver", CLSID_MvCalcBPDReceiver, "{AC0DF316-AFCE-4273-9EBA-2A2D9D32D7A0}"},
    {"MvCalcProperties", CLSID_MvCalcProperties, "{E71EB717-06B0-4619-9589-2EBDF76E608F}"},
    {"MvCalcProperty", CLSID_MvCalcProperty, "{0E463A73-A592-4E64-903E-A4441D005E85}"},
    {"IMvCalculation", IID_IMvCalculation, "{3C8B53EF-E39D-11D2-B903-00805F712C95}"},
    {"IMvCalculation3", IID_IMvCalculation3, "{E638FC61-7D9B-11D3-B924-00805F712C95}"},
    {"IMvParameter", IID_IMvParameter, "{3C8B53F1-E39D-11D2-B903-00805F712C95}"},
    {"IMvObjCollection", IID_IMvObjCollection, "{060C2312-E609-11D2-B903-00805F712C95}"},
    {"IMvCalcName", IID_IMvCalcName, "{86A0CB21-EEBC-11D2-B906-00805F712C95}"},
    {"IMvPersistXML", IID_IMvPersistXML, "{A4486A91-7F5B-11D4-96F6-0008C7A0E7AD}"},
    {"IMvPersistFile", IID_IMvPersistFile, "{FAF375F1-EEC4-11D2-B906-00805F712C95}"},
    {"IMvDataSet", IID_IMvDataSet, "{830CBBF2-E946-11D2-B905-00805F712C95}"},
    {"IMvDataSetColumn", IID_IMvDataSetColumn, "{842ED962-E950-11D2-B905-00805F712C95}"},
    {"IMvScheduleGroup", IID_IMvScheduleGroup, "{655997C2-E956-11D2-B905-00805F712C95}"},
    {"IMvFormulaLibrary", IID_IMvFormulaLibrary, "{B94FB632-EB65-11D2-B905-00805F712C95}"},
    {"IMvEngUnit", IID_IMvEngUnit, "{97474692-EB6A-11D2-B905-00805F712C95}"},
    {"IMvEngUnitType", IID_IMvEngUnitType, "{A68D02B2-EB71-11D2-B905-00805F712C95}"},
    {"IMvFormulaRef", IID_IMvFormulaRef, "{AF8BC902-EC7D-11D2-9573-0008C7A0E7AD}"},
    {"IMvCalcOLEMethod", IID_IMvCalcOLEMethod, "{9A6F42B2-F9D5-11D2-B906-00805F712C95}"},
    {"IMvCalcOLEArg", IID_IMvCalcOLEArg, "{45B910B2-F9D7-11D2-B906-00805F712C95}"},
    {"IMvCalculationRef", IID_IMvCalculationRef, "{24F059B2-FF43-11D2-B907-00805F712C95}"},
    {"IMvCalcEnvironment", IID_IMvCalcEnvironment, "{16393D12-016A-11D3-B907-00805F712C95}"},
    {"IMvCalcValue", IID_IMvCalcValue, "{56E03120-F961-11D4-976B-0008C7A0E7AD}"},
    {"IMvCalcValues", IID_IMvCalcValues, "{56E03138-F961-11D4-976B-0008C7A0E7AD}"},
    {"IMvCalcCoreFunctions", IID_IMvCalcCoreFunctions, "{B8733A21-59BE-4477-A456-863993B50188}"},
    {"IMvPDCalcEnv", IID_IMvPDCalcEnv, "{F949474B-C698-4981-AC92-D28E9715E0A1}"},
    {"IMvCalcSampleInfo", IID_IMvCalcSampleInfo, "{CD42A60E-8F6C-4205-967D-324064487579}"},
    {"IMvCalcBPDReceiver", IID_IMvCalcBPDReceiver, "{219F3171-9741-4BB6-A5DE-7896D4A99CFA}"},
    {"IMvCalcProperties", IID_IMvCalcProperties, "{F69FFCF6-1E2B-42B2-9462-764453474BB7}"},
    {"IMvCalcProperty", IID_IMvCalcProperty, "{7076D037-AF02-4D6B-91D1-9BA1D9F68D0D}"},
};

TEST(Identifiers, MatchTheirRegisteredTextForms) {
    for (const auto& c : kIds) {
        EXPECT_EQ(mv::GuidToString(c.id), c.text) << c.name;
    }
}

TEST(Identifiers, AreAllDistinct) {
    std::set<std::string> seen;
    for (const auto& c : kIds) {
        EXPECT_TRUE(seen.insert(mv::GuidToString(c.id)).second) << c.name;
    }
    EXPECT_EQ(seen.size(), 1u + 23u + 26u);
}

}  // namespace
