#include <gtest/gtest.h>

#include <string>

#include "interfaces/MvMorvaCalc_ids.h"
#include "interfaces/class_table.h"

namespace {

TEST(ClassTable, KeepsRegistrationOrder) {
    // Rows 1 to 21 carry scripts 102 to 122 in turn; the property list and the
    // property come last, registered in that order though their scripts are
    // numbered the other way round.
    const auto table = MvClassTable();
    for (std::size_t i = 0; i < 21; ++i) EXPECT_EQ(table[i].scriptId, 102u + i) << i;
    EXPECT_EQ(table[0].clsid, CLSID_MvCalculation);
    EXPECT_EQ(table[21].clsid, CLSID_MvCalcProperties);
    EXPECT_EQ(table[21].scriptId, 124u);
    EXPECT_EQ(table[22].clsid, CLSID_MvCalcProperty);
    EXPECT_EQ(table[22].scriptId, 123u);
}

TEST(ClassTable, FindsEveryClassByItsClsidOnly) {
    for (const MvClassInfo& c : MvClassTable()) {
        EXPECT_EQ(MvFindClass(c.clsid), &c) << c.coclass;
    }
    struct Miss {
        const char* what;
        GUID id;
    };
    for (const Miss& m :
         {Miss{"null", GUID_NULL}, Miss{"library", LIBID_MvMorvaCalc},
          Miss{"interface", IID_IMvCalculation}, Miss{"interface", IID_IMvCalcProperty}}) {
        EXPECT_EQ(MvFindClass(m.id), nullptr) << m.what;
    }
}

std::string Describe(const MvScriptKey& k) {
    std::string s = k.path;
    if (k.mode == MvScriptKeyMode::ForceRemove) s = "ForceRemove " + s;
    if (k.mode == MvScriptKeyMode::NoRemove) s = "NoRemove " + s;
    if (k.hasDefault) s += " = '" + k.defaultValue + "'";
    for (const auto& [name, value] : k.values) s += " [" + name + " = '" + value + "']";
    return s;
}

TEST(RegistryScript, WritesProgIdsAndClassKeyOfCalculation) {
    const MvClassInfo* c = MvFindClass(CLSID_MvCalculation);
    ASSERT_NE(c, nullptr);
    const std::string clsid = "{3C8B53F0-E39D-11D2-B903-00805F712C95}";
    const std::string key = "CLSID\\" + clsid;
    const std::vector<std::string> expected = {
        "Morva.Calc.Calculation.1 = 'MvCalculation Class'",
        "Morva.Calc.Calculation.1\\CLSID = '" + clsid + "'",
        "Morva.Calc.Calculation = 'MvCalculation Class'",
        "Morva.Calc.Calculation\\CLSID = '" + clsid + "'",
        "Morva.Calc.Calculation\\CurVer = 'Morva.Calc.Calculation.1'",
        "NoRemove CLSID",
        "ForceRemove " + key + " = 'MvCalculation Class'",
        key + "\\ProgID = 'Morva.Calc.Calculation.1'",
        key + "\\VersionIndependentProgID = 'Morva.Calc.Calculation'",
        "ForceRemove " + key + "\\Programmable",
        key + "\\InprocServer32 = '/opt/morva/libMvMorvaCalc.so' [ThreadingModel = 'Both']",
        key + "\\TypeLib = '{3C8B53E2-E39D-11D2-B903-00805F712C95}'",
    };
    std::vector<std::string> actual;
    for (const auto& k : MvRegistryScript(*c, "/opt/morva/libMvMorvaCalc.so")) {
        actual.push_back(Describe(k));
    }
    EXPECT_EQ(actual, expected);
}

}  // namespace
