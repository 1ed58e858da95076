// Registration scripts applied in the registry store: what is created anew,
// what stays, and how failures come back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "frame/dll_exports.h"
#include "frame/registration.h"
#include "interfaces/MvMorvaCalc_ids.h"
#include "registry_test_support.h"
#include "sys.h"

namespace {

namespace fs = std::filesystem;

const std::string kCalcKey = "CLSID\\" + mv::GuidToString(CLSID_MvCalculation);
const std::string kFormulaRefKey = "CLSID\\" + mv::GuidToString(CLSID_MvFormulaRef);
const std::string kLibKey = "TypeLib\\" + mv::GuidToString(LIBID_MvMorvaCalc);

using regtest::CreateKey;
using regtest::KeyExists;
using regtest::Text;

class StartupRegistration : public testing::Test {
protected:
    void SetUp() override { mv::RegistryUseMemoryStore(true); }
    void TearDown() override {
        mv::RegistryUseMemoryStore(false);
        mv::RegistryUseFile({});
    }
};

// What registration does to keys that were there before it.
TEST_F(StartupRegistration, RecreatesTheClassKeyWholeButLeavesOtherKeysAlone) {
    struct Case {
        const char* name;
        std::string before;  // created before registering
        bool existsAfterRegister;
        bool existsAfterUnregister;
    };
    const Case cases[] = {
        {"stale subkey of a class key", kCalcKey + "\\Stale", false, false},
        {"stale Programmable of a class without one", kFormulaRefKey + "\\Programmable", false,
         false},
        {"foreign class under CLSID", "CLSID\\{11111111-2222-3333-4444-555555555555}", true, true},
        {"other version of the type library", kLibKey + "\\2.0", true, true},
        {"unrelated root key", "Some.Other.ProgID", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mv::RegistryUseMemoryStore(true);
        CreateKey(c.before);
        ASSERT_EQ(MvRegisterClasses("/opt/morva/libMvMorvaCalc.so"), S_OK);
        EXPECT_EQ(KeyExists(c.before), c.existsAfterRegister);
        ASSERT_EQ(MvUnregisterClasses(), S_OK);
        EXPECT_EQ(KeyExists(c.before), c.existsAfterUnregister);
        EXPECT_TRUE(KeyExists("CLSID"));
        EXPECT_FALSE(KeyExists(kCalcKey));
        EXPECT_FALSE(KeyExists(kLibKey + "\\1.0"));
    }
}

TEST_F(StartupRegistration, ReregisteringPointsEveryClassAndTheTypeLibraryAtTheNewFile) {
    ASSERT_EQ(MvRegisterClasses("/old/place/libMvMorvaCalc.so"), S_OK);
    ASSERT_EQ(MvRegisterClasses("/new/place/libMvMorvaCalc.so"), S_OK);
    EXPECT_EQ(Text(kCalcKey + "\\InprocServer32"), "/new/place/libMvMorvaCalc.so");
    EXPECT_EQ(Text(kFormulaRefKey + "\\InprocServer32"), "/new/place/libMvMorvaCalc.so");
    EXPECT_EQ(Text(kLibKey + "\\1.0\\409\\win32"), "/new/place/libMvMorvaCalc.so");
    EXPECT_EQ(Text(kLibKey + "\\1.0\\HELPDIR"), "/new/place");
}

TEST_F(StartupRegistration, AStoreThatCannotBeWrittenFailsBothExportsWithItsError) {
    const fs::path file =
        fs::path(MV_TEST_BINARY_DIR) / ("broken-registry-" + std::to_string(getpid()) + ".reg");
    {
        std::ofstream out(file);
        out << "Windows Registry Editor Version 5.00\r\n\r\nthis line does not parse\r\n";
    }
    mv::RegistrySetDiagnosticHook([](std::string_view) {});
    mv::RegistryUseFile(file.string());
    EXPECT_EQ(DllRegisterServer(), HRESULT_FROM_WIN32(ERROR_BADDB));
    EXPECT_EQ(DllUnregisterServer(), HRESULT_FROM_WIN32(ERROR_BADDB));
    mv::RegistrySetDiagnosticHook({});
    std::ifstream in(file);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("this line does not parse"), std::string::npos);  // untouched
    fs::remove(file);
}

}  // namespace
