// Libraries loaded once by name and shut down and freed at unload.
#include "frame/loaded_dlls.h"

#include "loaded_dlls_test_support.h"

namespace {

using dlltest::IsLoaded;
using dlltest::LibraryPath;
using dlltest::MapSize;

class LoadedDllsTest : public dlltest::LoadedDllsFixture {};

// Each name is loaded once; names that differ only in letter case or path
// are entries of one library: it is loaded and freed once per entry, with one
// shutdown call before its last free.
TEST_F(LoadedDllsTest, EachNameIsLoadedOnceAndShutDownAtUnload) {
    logtest::ScopedEnv path("MORVA_DLL_PATH", dlltest::LibDir().c_str());
    HMODULE lower = CalcLoadLibrary("mvlogtest_formula.dll");
    ASSERT_NE(lower, nullptr);
    EXPECT_EQ(CalcLoadLibrary("mvlogtest_formula.dll"), lower);
    EXPECT_EQ(MapSize(), 1u);
    EXPECT_EQ(CalcLoadLibrary("MvLogTest_Formula.DLL"), lower);
    EXPECT_EQ(MapSize(), 2u);
    // A name stored with a Windows path is found by its last component.
    EXPECT_EQ(CalcLoadLibrary("C:\\Formulas\\mvlogtest_formula.dll"), lower);
    int shutdowns = 0;
    dlltest::CountShutdowns(lower, &shutdowns);

    CalcUnloadLibrary();
    EXPECT_EQ(shutdowns, 1);
    EXPECT_EQ(MapSize(), 0u);
    EXPECT_FALSE(IsLoaded(LibraryPath("formula")));
}

TEST_F(LoadedDllsTest, FailedLoadsLeaveNoEntry) {
    const std::string missing = dlltest::LibDir() + "/libmvlogtest_missing.so";
    struct Case {
        const char* name;
        const char* library;
    };
    const Case cases[] = {
        {"missing library", missing.c_str()},
        {"missing dll name", "mvlogtest_missing.dll"},
        {"empty name", ""},
        {"null name", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CalcLoadLibrary(c.library), nullptr);
        EXPECT_EQ(CalcLoadLibrary(c.library), nullptr);  // tried again, still absent
        EXPECT_EQ(MapSize(), 0u);
    }
}

// A shutdown that throws is logged; the other libraries are still shut down
// and every library is freed.
TEST_F(LoadedDllsTest, UnloadFreesEveryLibraryWhateverItsShutdownDoes) {
    InitializeModuleLog(g_DiagnosticLog);
    int formulaShutdowns = 0;
    int throwingShutdowns = 0;
    HMODULE formula = CalcLoadLibrary(LibraryPath("formula").c_str());
    HMODULE throwing = CalcLoadLibrary(LibraryPath("throwing").c_str());
    HMODULE plain = CalcLoadLibrary(LibraryPath("noshutdown").c_str());
    ASSERT_TRUE(formula && throwing && plain);
    dlltest::CountShutdowns(formula, &formulaShutdowns);
    dlltest::CountShutdowns(throwing, &throwingShutdowns);

    CalcUnloadLibrary();
    EXPECT_EQ(formulaShutdowns, 1);
    EXPECT_EQ(throwingShutdowns, 1);
    EXPECT_EQ(MapSize(), 0u);
    for (const char* kind : {"formula", "throwing", "noshutdown"}) {
        SCOPED_TRACE(kind);
        EXPECT_FALSE(IsLoaded(LibraryPath(kind)));
    }
    EXPECT_EQ(logtest::ReadText(DefaultFile()),
              logtest::LinePrefix() + "CalcUnloadLibrary: E_UNEXPECTED\n");
}

}  // namespace
