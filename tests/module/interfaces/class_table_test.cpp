#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>

#include "interfaces/MvMorvaCalc_ids.h"
#include "interfaces/class_table.h"

namespace {

bool EndsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

TEST(ClassTable, HasTwentyThreeDistinctClasses) {
    const auto table = MvClassTable();
    ASSERT_EQ(table.size(), kMvClassCount);
    ASSERT_EQ(kMvClassCount, 23u);

    std::set<std::string> clsids, progIds, viProgIds, names;
    std::set<UINT> scripts;
    for (const MvClassInfo& c : table) {
        EXPECT_TRUE(clsids.insert(mv::GuidToString(c.clsid)).second) << c.coclass;
        EXPECT_TRUE(progIds.insert(c.progId).second) << c.coclass;
        EXPECT_TRUE(viProgIds.insert(c.versionIndependentProgId).second) << c.coclass;
        EXPECT_TRUE(names.insert(c.implementation).second) << c.coclass;
        EXPECT_TRUE(scripts.insert(c.scriptId).second) << c.coclass;
    }
    // The scripts are the resources 102 to 124, each used once.
    EXPECT_EQ(*scripts.begin(), 102u);
    EXPECT_EQ(*scripts.rbegin(), 124u);
}

TEST(ClassTable, NamesFollowTheModulesPattern) {
    for (const MvClassInfo& c : MvClassTable()) {
        const std::string coclass = c.coclass;
        const std::string progId = c.progId;
        EXPECT_EQ(std::string(c.implementation), "C" + coclass);
        EXPECT_EQ(std::string(c.description), coclass + " Class");
        EXPECT_STREQ(c.threadingModel, "Both") << coclass;

        if (coclass == "MvCalcSampleInfo") {
            EXPECT_EQ(progId, "MorvaCalc.MvCalcSampleInfo.1");
        } else {
            EXPECT_EQ(progId.rfind("Morva.Calc.", 0), 0u) << progId;
            const std::string noun = progId.substr(11, progId.size() - 13);
            EXPECT_FALSE(noun.empty()) << progId;
            EXPECT_EQ(noun.find('.'), std::string::npos) << progId;
        }
        ASSERT_TRUE(EndsWith(progId, ".1")) << progId;
        EXPECT_EQ(std::string(c.versionIndependentProgId), progId.substr(0, progId.size() - 2));
    }
}

TEST(ClassTable, AllButFormulaRefAndBusReceiverAreProgrammable) {
    std::set<std::string> notProgrammable;
    for (const MvClassInfo& c : MvClassTable()) {
        if (!c.programmable) notProgrammable.insert(c.progId);
    }
    EXPECT_EQ(notProgrammable,
              (std::set<std::string>{"Morva.Calc.FormulaRef.1", "Morva.Calc.BPDReceiver.1"}));
}

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

TEST(RegistryScript, EveryClassHasTheSameShape) {
    for (const MvClassInfo& c : MvClassTable()) {
        const auto keys = MvRegistryScript(c, "/m.so");
        const std::string classKey = "CLSID\\" + mv::GuidToString(c.clsid);
        std::set<std::string> written;
        bool programmableKey = false;
        for (const auto& k : keys) {
            // A key's parent is written before it.
            const auto cut = k.path.rfind('\\');
            if (cut != std::string::npos) {
                EXPECT_TRUE(written.count(k.path.substr(0, cut))) << Describe(k);
            }
            EXPECT_TRUE(written.insert(k.path).second) << Describe(k);
            if (k.path == classKey + "\\Programmable") programmableKey = true;
            if (k.path == classKey + "\\InprocServer32") {
                EXPECT_EQ(k.defaultValue, "/m.so");
            }
        }
        EXPECT_EQ(programmableKey, c.programmable) << c.progId;
        EXPECT_EQ(keys.size(), c.programmable ? 12u : 11u) << c.progId;
        EXPECT_TRUE(written.count(std::string(c.progId) + "\\CLSID")) << c.progId;
        EXPECT_TRUE(written.count(std::string(c.versionIndependentProgId) + "\\CurVer"))
            << c.progId;
    }
}

}  // namespace
