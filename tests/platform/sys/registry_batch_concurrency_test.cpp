// Writers of other threads and processes wait for a batch and lose nothing.
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

constexpr DWORD kValues = 20;

void WriteValues(const std::string& prefix) {
    HKEY k = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Batch", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &k, nullptr);
    for (DWORD i = 0; i < kValues; ++i) {
        const std::string name = prefix + std::to_string(i);
        RegSetValueExA(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i), 4);
    }
    RegCloseKey(k);
}

class RegistryBatchRace : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::path(::testing::TempDir()) /
               ("mvregbatchrace_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        file_ = dir_ / "registry.reg";
        mv::RegistryUseFile(file_.string());
    }
    void TearDown() override {
        mv::RegistryUseFile("");
        fs::remove_all(dir_);
    }
    void ExpectValues(const std::vector<std::string>& prefixes) {
        mv::RegistryUseFile((dir_ / "none.reg").string());  // drop the cache
        mv::RegistryUseFile(file_.string());
        HKEY k = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Batch", 0, KEY_READ, &k),
                  ERROR_SUCCESS);
        for (const std::string& prefix : prefixes) {
            for (DWORD i = 0; i < kValues; ++i) {
                const std::string name = prefix + std::to_string(i);
                DWORD v = 99, size = 4;
                EXPECT_EQ(RegQueryValueExA(k, name.c_str(), nullptr, nullptr,
                                           reinterpret_cast<BYTE*>(&v), &size),
                          ERROR_SUCCESS)
                    << name;
                EXPECT_EQ(v, i) << name;
            }
        }
        RegCloseKey(k);
    }
    fs::path dir_, file_;
};

TEST_F(RegistryBatchRace, AnotherThreadWaitsForTheBatchAndLosesNothing) {
    std::thread other;
    ASSERT_EQ(mv::RegistryBatch([&] {
                  other = std::thread(WriteValues, "thread");
                  WriteValues("batch");
              }),
              ERROR_SUCCESS);
    other.join();
    ExpectValues({"batch", "thread"});
}

TEST_F(RegistryBatchRace, ProcessesWritingDuringABatchLoseNothing) {
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    std::vector<pid_t> children;
    for (int w = 0; w < 3; ++w) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(go[1]);
            char c = 0;
            ssize_t n = ::read(go[0], &c, 1);  // starts once the batch holds the file
            WriteValues("process" + std::to_string(w) + "_");
            ::_exit(n == 1 ? 0 : 1);
        }
        children.push_back(pid);
    }
    ::close(go[0]);
    ASSERT_EQ(mv::RegistryBatch([&] {
                  const char start[3] = {1, 1, 1};
                  EXPECT_EQ(::write(go[1], start, sizeof start), 3);
                  WriteValues("batch");
              }),
              ERROR_SUCCESS);
    ::close(go[1]);
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ExpectValues({"batch", "process0_", "process1_", "process2_"});
}

}  // namespace
