#include <gtest/gtest.h>

#include <string>

#include "interfaces/MvMorvaCalc_ids.h"

namespace {

struct IdCase {
    const char* name;
    GUID id;
    const char* text;
};

// The registered text form of the library and of every interface, as the
// registry and the type library show them. The class identifiers are pinned
// where registration writes them.
const IdCase kIds[] = {
    {"MvMorvaCalc", LIBID_MvMorvaCalc, "{3C8B53E2-E39D-11D2-B903-00805F712C95}"},
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

}  // namespace
