#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

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

}  // namespace
