// Resolution of the base folder: the "Shared Path" value, MORVA_CALC_BASE
// and the application-data fallback.
#include "frame/base_folder.h"

#include <filesystem>
#include <optional>
#include <string>

#include "log_test_support.h"

namespace {

using logtest::ScopedEnv;

constexpr const char* kKey = "SOFTWARE\\Wow6432Node\\Morva\\Morva Calc";

class BaseFolderTest : public logtest::LogFixture {
protected:
    void SetUp() override {
        LogFixture::SetUp();
        std::filesystem::create_directories(root_ + "/appdata");
    }
    static void SetSharedPath(const char* key, DWORD type, const std::string& bytes) {
        HKEY h = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &h, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(
            RegSetValueExA(h, "Shared Path", 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                           static_cast<DWORD>(bytes.size())),
            ERROR_SUCCESS);
        RegCloseKey(h);
    }
    static std::string Sz(const std::string& text) { return text + '\0'; }
    std::string Fallback() const { return root_ + "/appdata/Morva/Morva Calc"; }
};

TEST_F(BaseFolderTest, FirstSourceWithATextWins) {
    const std::string longest(259, 'a');
    struct Case {
        const char* name;
        const char* key;  // null: no value
        DWORD type;
        std::string bytes;
        const char* environment;  // null: unset
        std::string expected;     // "<fallback>" for the application-data folder
    };
    const Case cases[] = {
        {"value taken unchanged", kKey, REG_SZ, Sz("/srv/morva/"), "/env", "/srv/morva/"},
        {"expandable value not expanded", kKey, REG_EXPAND_SZ, Sz("%BASE%/calc"), "/env",
         "%BASE%/calc"},
        {"longest value that fits", kKey, REG_SZ, Sz(longest), "/env", longest},
        {"empty value skips the environment", kKey, REG_SZ, Sz(""), "/env", "<fallback>"},
        {"value too long", kKey, REG_SZ, Sz(longest + "a"), "/env", "/env"},
        {"value of the wrong type", kKey, REG_DWORD, std::string("\1\0\0\0", 4), "/env", "/env"},
        {"key without Wow6432Node is not read", "SOFTWARE\\Morva\\Morva Calc", REG_SZ,
         Sz("/srv/morva"), nullptr, "<fallback>"},
        {"environment only", nullptr, 0, "", "/env/base/", "/env/base/"},
        {"empty environment", nullptr, 0, "", "", "<fallback>"},
        {"nothing set", nullptr, 0, "", nullptr, "<fallback>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mv::RegistryUseMemoryStore(true);
        if (c.key) SetSharedPath(c.key, c.type, c.bytes);
        ScopedEnv environment("MORVA_CALC_BASE", c.environment);
        CharString folder;
        folder.Assign("stale");
        GetBaseFolder(folder);
        EXPECT_EQ(folder.CStr(), c.expected == "<fallback>" ? Fallback() : c.expected);
    }
}

// A missing folder is not created and leaves the base folder empty; a
// folder of any length is used.
TEST_F(BaseFolderTest, ApplicationDataFolderIsUsedAsItIs) {
    const std::string deep = root_ + "/" + std::string(150, 'd') + "/" + std::string(150, 'e');
    std::filesystem::create_directories(deep);
    for (const std::string& appdataFolder : {root_ + "/missing", deep}) {
        ScopedEnv appdata("MORVA_COMMON_APPDATA", appdataFolder.c_str());
        ScopedEnv environment("MORVA_CALC_BASE", nullptr);
        CharString folder;
        folder.Assign("stale");
        GetBaseFolder(folder);
        EXPECT_EQ(folder.CStr(), appdataFolder == deep ? deep + "/Morva/Morva Calc" : "");
    }
    EXPECT_FALSE(std::filesystem::exists(root_ + "/missing"));
}

TEST_F(BaseFolderTest, FailedReadLeavesTheStringUntouched) {
    for (bool withWrongType : {false, true}) {
        SCOPED_TRACE(withWrongType);
        mv::RegistryUseMemoryStore(true);
        if (withWrongType) SetSharedPath(kKey, REG_DWORD, std::string("\1\0\0\0", 4));
        CharString value;
        value.Assign("untouched");
        EXPECT_FALSE(ReadSharedPathValue(value));
        EXPECT_STREQ(value.CStr(), "untouched");
    }
    SetSharedPath(kKey, REG_SZ, Sz(""));
    CharString value;
    value.Assign("replaced");
    EXPECT_TRUE(ReadSharedPathValue(value));
    EXPECT_TRUE(value.IsEmpty());
}

}  // namespace
