// Calculations of the registered module that call a library formula, across
// saves of the library's file with stale-library reload on.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "../calculation/library_reload_scenario.h"
#include "../executors/formula_artefacts.h"
#include "com.h"
#include "corvex_sim.h"
#include "interfaces/IMvCalcEnvironment.h"
#include "interfaces/IMvCalculation.h"
#include "module_load_test_support.h"
#include "sys.h"

namespace {

namespace fs = std::filesystem;
using namespace loadtest;

// The registered module, loaded with a base folder of the test's own and
// the formula scripting library and the test formula library on the path.
class RegisteredLibraryFormula : public ModuleLoad {
protected:
    void SetUp() override {
        ModuleLoad::SetUp();
        std::string pattern = std::string(MV_TEST_BINARY_DIR) + "/loadbase-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        base_ = pattern;
        fs::create_directories(base_ / "Calc");
        fs::create_directories(base_ / "Lib");
        setenv("MORVA_CALC_BASE", base_.c_str(), 1);
        setenv("MORVA_DLL_PATH", formula_test::FormulasDir().c_str(), 1);
        ASSERT_EQ(CorvexSim_SetLibrary(CORVEXSIM_FULL), 1);
        module_ = LoadLibraryA(path_.c_str());
        ASSERT_NE(module_, nullptr) << mv::LoaderErrorText();
        ASSERT_EQ(Export<HResultFn>(module_, "DllRegisterServer")(), S_OK);
    }
    void TearDown() override {
        if (module_) {
            CoFreeUnusedLibrariesEx(0, 0);  // hands activation's load of the module back
            EXPECT_EQ(Export<HResultFn>(module_, "DllUnregisterServer")(), S_OK);
            EXPECT_TRUE(FreeLibrary(module_));
        }
        CorvexSim_SetLibrary(CORVEXSIM_ABSENT);
        unsetenv("MORVA_DLL_PATH");
        unsetenv("MORVA_CALC_BASE");
        std::error_code ec;
        fs::remove_all(base_, ec);
        ModuleLoad::TearDown();
    }

    fs::path base_;
    HMODULE module_ = nullptr;
};

// A Corvex and a VBScript calculation of the registered module, made by
// ProgID, keep their reference to a library formula across saves of the
// library file.
TEST_F(RegisteredLibraryFormula, CallsKeepTheirReferenceAcrossSavesOfTheLibraryWithReloadOn) {
    auto env = Create<IMvCalcEnvironment>(u"Morva.Calc.Environment");
    ASSERT_TRUE(env);
    envtest::ExpectCallsKeepTheirReferenceAcrossLibrarySaves(
        env.get(), base_, [] { return Create<IMvCalculation>(u"Morva.Calc.Calculation"); });
}

}  // namespace
