#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "../../support/bounded_run.h"
#include "sys.h"

namespace {

namespace fs = std::filesystem;

constexpr int kWriters = 4;
constexpr int kValuesEach = 25;

// Each writer sets its own values; every write takes the file lock, reads the
// file again and renames a new one over it, so none may be lost.
void WriteValues(int writer) {
    HKEY k = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Race", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &k, nullptr);
    for (DWORD i = 0; i < kValuesEach; ++i) {
        std::string name = "w" + std::to_string(writer) + "_" + std::to_string(i);
        DWORD v = i;
        RegSetValueExA(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4);
    }
    RegCloseKey(k);
}

class RegistryRace : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::path(::testing::TempDir()) /
               ("mvregrace_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        file_ = dir_ / "registry.reg";
        mv::RegistryUseFile(file_.string());
    }
    void TearDown() override {
        mv::RegistryUseFile("");
        fs::remove_all(dir_);
    }
    void ExpectAllValues() {
        mv::RegistryUseFile((dir_ / "none.reg").string());  // drop the cache
        mv::RegistryUseFile(file_.string());
        HKEY k = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Race", 0, KEY_READ, &k),
                  ERROR_SUCCESS);
        for (int w = 0; w < kWriters; ++w) {
            for (DWORD i = 0; i < kValuesEach; ++i) {
                std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
                DWORD v = 99, size = 4;
                EXPECT_EQ(RegQueryValueExA(k, name.c_str(), nullptr, nullptr,
                                           reinterpret_cast<BYTE*>(&v), &size),
                          ERROR_SUCCESS)
                    << name;
                EXPECT_EQ(v, i);
            }
        }
        RegCloseKey(k);
        // No temporary file is left behind.
        int files = 0;
        for (const auto& e : fs::directory_iterator(dir_))
            if (e.path().filename().string().find(".tmp.") != std::string::npos) ++files;
        EXPECT_EQ(files, 0);
    }

    fs::path dir_, file_;
};

TEST_F(RegistryRace, ProcessesWritingAtOnceLoseNothing) {
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            WriteValues(w);
            ::_exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ExpectAllValues();
}

TEST_F(RegistryRace, ThreadsWritingAtOnceLoseNothing) {
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) threads.emplace_back(WriteValues, w);
    for (auto& t : threads) t.join();
    ExpectAllValues();
}

// A key at the deepest level allowed, on a thread whose whole stack is
// 64 KB, at several depths of it: created and written to the file, dropped
// by a switch of store and read back, then deleted with its tree.
TEST_F(RegistryRace, TheDeepestKeyIsWrittenReadAndDeletedOnASmallStack) {
    std::string path = "A";
    for (int level = 1; level < 512; ++level) path += "\\k";
    for (const size_t pad : {0, 16 * 1024, 32 * 1024}) {
        SCOPED_TRACE(pad);
        mv::test::OnThreadWithStack(
            64 * 1024,
            [&] {
                HKEY k = nullptr;
                const DWORD v = 7;
                ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0,
                                          KEY_ALL_ACCESS, nullptr, &k, nullptr),
                          ERROR_SUCCESS);
                EXPECT_EQ(
                    RegSetValueExA(k, "x", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4),
                    ERROR_SUCCESS);
                RegCloseKey(k);
                mv::RegistryUseFile((dir_ / "none.reg").string());
                mv::RegistryUseFile(file_.string());
                DWORD read = 0, size = sizeof read;
                ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &k),
                          ERROR_SUCCESS);
                EXPECT_EQ(RegQueryValueExA(k, "x", nullptr, nullptr, reinterpret_cast<BYTE*>(&read),
                                           &size),
                          ERROR_SUCCESS);
                EXPECT_EQ(read, v);
                RegCloseKey(k);
                EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, "A"), ERROR_SUCCESS);
                EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "A", 0, KEY_READ, &k),
                          ERROR_FILE_NOT_FOUND);
            },
            pad);
    }
}

}  // namespace
