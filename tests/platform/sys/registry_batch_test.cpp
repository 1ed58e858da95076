// A batch of registry changes reaches the store file in one replacement.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "sys.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

LONG SetDword(const char* key, const char* name, DWORD value) {
    HKEY k = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                              nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExA(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
    RegCloseKey(k);
    return rc;
}

bool HasKey(const char* key) {
    HKEY k = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    RegCloseKey(k);
    return true;
}

class RegistryBatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::path(::testing::TempDir()) /
               ("mvregbatch_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        file_ = dir_ / "registry.reg";
        mv::RegistryUseFile(file_.string());
        mv::RegistrySetDiagnosticHook([](std::string_view) {});
    }
    void TearDown() override {
        mv::RegistrySetDiagnosticHook({});
        mv::RegistryUseFile("");
        fs::remove_all(dir_);
    }
    fs::path dir_, file_;
};

TEST_F(RegistryBatchTest, ChangesReachTheFileTogetherAtTheEndAndAreSeenInsideAtOnce) {
    ASSERT_EQ(SetDword("SOFTWARE\\Before", "v", 1), ERROR_SUCCESS);
    const std::string before = ReadFile(file_);
    LONG inner = -1;
    const LONG rc = mv::RegistryBatch([&] {
        EXPECT_EQ(SetDword("SOFTWARE\\One", "v", 1), ERROR_SUCCESS);
        EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Before"), ERROR_SUCCESS);
        inner = mv::RegistryBatch([] { EXPECT_EQ(SetDword("SOFTWARE\\Two", "v", 2), 0); });
        EXPECT_TRUE(HasKey("SOFTWARE\\One"));
        EXPECT_TRUE(HasKey("SOFTWARE\\Two"));
        EXPECT_FALSE(HasKey("SOFTWARE\\Before"));
        EXPECT_EQ(ReadFile(file_), before);  // other processes still see the old file
    });
    EXPECT_EQ(rc, ERROR_SUCCESS);
    EXPECT_EQ(inner, ERROR_SUCCESS);
    const std::string after = ReadFile(file_);
    EXPECT_NE(after.find("SOFTWARE\\One]"), std::string::npos);
    EXPECT_NE(after.find("SOFTWARE\\Two]"), std::string::npos);
    EXPECT_EQ(after.find("SOFTWARE\\Before]"), std::string::npos);
}

TEST_F(RegistryBatchTest, FailedChangesLeaveNothingAndWriteNoFile) {
    struct Case {
        const char* name;
        const char* fileText;  // null: no store file
        LONG expected;
    };
    const Case cases[] = {
        {"missing value of a missing key", nullptr, ERROR_FILE_NOT_FOUND},
        {"corrupt store", "Windows Registry Editor Version 5.00\r\n\r\njunk\r\n", ERROR_BADDB},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_);
        if (c.fileText) {
            fs::create_directories(dir_);
            std::ofstream(file_, std::ios::binary) << c.fileText;
        }
        mv::RegistryUseFile(file_.string());
        LONG change = ERROR_SUCCESS;
        EXPECT_EQ(mv::RegistryBatch([&] {
                      change = c.fileText ? SetDword("SOFTWARE\\New", "v", 1)
                                          : RegDeleteValueA(HKEY_CLASSES_ROOT, "absent");
                  }),
                  ERROR_SUCCESS);
        EXPECT_EQ(change, c.expected);
        if (c.fileText) {
            EXPECT_EQ(ReadFile(file_), c.fileText);
        } else {
            EXPECT_FALSE(fs::exists(file_));
        }
    }
}

TEST_F(RegistryBatchTest, AnExceptionEndsTheBatchKeepingWhatWasDone) {
    EXPECT_THROW(mv::RegistryBatch([] {
                     SetDword("SOFTWARE\\Done", "v", 1);
                     throw std::runtime_error("stop");
                 }),
                 std::runtime_error);
    EXPECT_NE(ReadFile(file_).find("SOFTWARE\\Done]"), std::string::npos);
    EXPECT_EQ(SetDword("SOFTWARE\\Later", "v", 2), ERROR_SUCCESS);  // the store is free again
    EXPECT_NE(ReadFile(file_).find("SOFTWARE\\Later]"), std::string::npos);
}

}  // namespace
