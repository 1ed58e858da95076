#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "com.h"
#include "sys.h"

namespace {

namespace fs = std::filesystem;

// MV_TEST_LIB_DIR, else the lib folder beside the bin folder of this program.
std::string LibDir() {
    const char* d = std::getenv("MV_TEST_LIB_DIR");
    if (d && *d) return d;
    return (fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "lib").string();
}

// Sets MV_TESTLIB_LOG to a fresh file, which the test libraries append their
// DllMain notifications to.
class Loader : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(LibDir().empty());
        log_ = fs::path(::testing::TempDir()) /
               ("mvloader_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log");
        fs::remove(log_);
        ::setenv("MV_TESTLIB_LOG", log_.c_str(), 1);
        ::setenv("MORVA_DLL_PATH", ("/nonexistent:" + LibDir()).c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("MV_TESTLIB_LOG");
        ::unsetenv("MORVA_DLL_PATH");
        fs::remove(log_);
    }
    std::string Log() {
        std::ifstream in(log_);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    fs::path log_;
};

TEST_F(Loader, FindsLibrariesByTheDllRule) {
    struct Case {
        std::string name;
        bool found;
    };
    const Case cases[] = {
        {"mvtest_plain.dll", true},                // lib<stem>.so in MORVA_DLL_PATH
        {"MVTEST_PLAIN.DLL", true},                // file names ignore case
        {"C:\\Formulas\\mvtest_plain.dll", true},  // a Windows path: its last component
        {LibDir() + "/libmvtest_plain.so", true},  // a path is used as is
        {"mvtest_missing.dll", false},
        {LibDir() + "/mvtest_plain.dll", false},  // a path is not searched
    };
    for (const auto& c : cases) {
        SetLastError(0);
        HMODULE h = LoadLibraryA(c.name.c_str());
        EXPECT_EQ(h != nullptr, c.found) << c.name;
        if (!h) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND)) << c.name;
            continue;
        }
        char file[MAX_PATH];
        DWORD n = GetModuleFileNameA(h, file, MAX_PATH);
        EXPECT_EQ(fs::path(std::string(file, n)), fs::canonical(LibDir() + "/libmvtest_plain.so"));
        EXPECT_TRUE(FreeLibrary(h));
    }
}

TEST_F(Loader, LooksUpOnlyTheLibrarysOwnExports) {
    HMODULE h = LoadLibraryW(u"mvtest_plain.dll");
    ASSERT_NE(h, nullptr);
    auto fn = reinterpret_cast<int (*)()>(GetProcAddress(h, "MvTestPlain"));
    ASSERT_NE(fn, nullptr);
    EXPECT_EQ(fn(), 7);
    const char* absent[] = {"Nothing", "CoCreateInstance" /* a dependency's export */, "DllMain"};
    for (const char* name : absent) {
        SetLastError(0);
        EXPECT_EQ(GetProcAddress(h, name), nullptr) << name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND)) << name;
    }
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_FALSE(FreeLibrary(h));
}

TEST_F(Loader, DllMainSeesOneAttachAndOneDetach) {
    HMODULE a = LoadLibraryA("mvtest_server.dll");
    HMODULE b = LoadLibraryA((LibDir() + "/libmvtest_server.so").c_str());
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_EQ(Log(), "attach server\n");
    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_EQ(Log(), "attach server\n");
    EXPECT_TRUE(FreeLibrary(b));
    EXPECT_EQ(Log(), "attach server\ndetach server\n");
}

TEST_F(Loader, ARefusedAttachFailsTheLoad) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA("mvtest_refuse.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
    EXPECT_EQ(Log(), "attach refuse\ndetach refuse\n");
}

TEST_F(Loader, ALibraryStillLoadedAtExitIsDetached) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        bool ok = LoadLibraryA("mvtest_server.dll") != nullptr;
        std::exit(ok ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(Log(), "attach server\ndetach server\n");
}

TEST(LoaderFiles, NameTheHostAndTheLibraryOfAnAddress) {
    char exe[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, exe, MAX_PATH);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(fs::path(exe), fs::read_symlink("/proc/self/exe"));
    EXPECT_EQ(mv::ModuleFileOfAddress(reinterpret_cast<const void*>(&CoCreateInstance)),
              fs::canonical(LibDir() + "/libmvplatform.so"));

    char small[4];
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), 4u);
    EXPECT_EQ(std::string(small), std::string(exe).substr(0, 3));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    int local = 0;
    EXPECT_EQ(mv::ModuleFileOfAddress(&local), "");
}

}  // namespace
