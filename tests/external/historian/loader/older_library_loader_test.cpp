// The module loads the older historian library as "keldcore.dll"; the
// control surface puts its folder on the search path or takes it off.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "keldcore.h"
#include "keldrin_sim.h"
#include "sys.h"

namespace {

TEST(HistorianOlderLibraryLoader, IsFoundOnlyWhileItsFolderIsOnThePath) {
    const char* saved = std::getenv("MORVA_DLL_PATH");
    std::string old = saved ? saved : "";
    setenv("MORVA_DLL_PATH", "/nonexistent", 1);

    ASSERT_EQ(KhSim_SetOlderLibraryPresent(0), 1);
    EXPECT_EQ(LoadLibraryA("keldcore.dll"), nullptr);
    EXPECT_STREQ(std::getenv("MORVA_DLL_PATH"), "/nonexistent");

    ASSERT_EQ(KhSim_SetOlderLibraryPresent(1), 1);
    HMODULE lib = LoadLibraryA("keldcore.dll");
    ASSERT_NE(lib, nullptr);
    auto dbmapped = reinterpret_cast<PFN_DBMAPPED>(GetProcAddress(lib, "DBMAPPED"));
    ASSERT_NE(dbmapped, nullptr);
    KhSim_SetAttachAnswers(0, 0);
    EXPECT_EQ(dbmapped(), 0);
    KhSim_Reset();
    EXPECT_EQ(dbmapped(), 1);
    FreeLibrary(lib);

    ASSERT_EQ(KhSim_SetOlderLibraryPresent(0), 1);
    EXPECT_STREQ(std::getenv("MORVA_DLL_PATH"), "/nonexistent");
    if (saved)
        setenv("MORVA_DLL_PATH", old.c_str(), 1);
    else
        unsetenv("MORVA_DLL_PATH");
}

}  // namespace
