#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "sys.h"

namespace {

// A fresh folder under the test's common application-data folder.
class FoldersTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* base = std::getenv("MORVA_COMMON_APPDATA");
        ASSERT_NE(base, nullptr);
        root_ =
            mv::JoinPath(base, std::string("folders-") +
                                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(root_);
        ASSERT_TRUE(mv::CreateDirectories(root_));
    }
    static void WriteFile(const std::string& path) { std::ofstream(path) << "x"; }
    std::string Path(const char* name) const { return mv::JoinPath(root_, name); }
    std::string root_;
};

TEST(JoinPath, PutsExactlyOneSlashAtTheSeam) {
    const struct {
        const char* a;
        const char* b;
        const char* joined;
    } cases[] = {{"base", "Lib", "base/Lib"},  {"base/", "Lib", "base/Lib"},
                 {"base", "/Lib", "base/Lib"}, {"base/", "/Lib", "base/Lib"},
                 {"", "Lib", "Lib"},           {"base", "", "base"},
                 {"/", "x.mvc", "/x.mvc"},     {"a/b", "c/d.mvc", "a/b/c/d.mvc"}};
    for (const auto& c : cases) EXPECT_EQ(mv::JoinPath(c.a, c.b), c.joined) << c.a << " + " << c.b;
}

TEST(FilePattern, MatchesLikeTheWindowsWildcards) {
    const struct {
        const char* name;
        const char* pattern;
        bool match;
    } cases[] = {
        {"Plant.mvc", "*.mvc", true},
        {"PLANT.MVC", "*.mvc", true},
        {"plant.mvcx", "*.mvc", false},
        {"plant.mv", "*.mvc", false},
        {".mvc", "*.mvc", true},
        {"a.b.mvc", "*.mvc", true},
        {"abc", "a?c", true},
        {"ac", "a?c", false},
        {"abc", "*", true},
        {"", "*", true},
        {"abc", "a*b*c", true},
        {"aXbYc", "a*b*c", true},
        {"acb", "a*b*c", false},
        {"mvc", "*.mvc", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mv::MatchesFilePattern(c.name, c.pattern), c.match)
            << c.name << " ~ " << c.pattern;
    }
}

TEST_F(FoldersTest, FindFilesListsMatchesIgnoringCaseInStableOrder) {
    for (const char* name : {"b.mvc", "A.MVC", "c.Mvc", "notes.txt", "d.mvc.bak"})
        WriteFile(Path(name));
    ASSERT_TRUE(CreateDirectoryA(Path("sub").c_str(), nullptr));
    EXPECT_EQ(mv::FindFiles(Path("*.mvc")), (std::vector<std::string>{"A.MVC", "b.mvc", "c.Mvc"}));
    EXPECT_EQ(mv::FindFiles(Path("*")).size(), 6u) << "folders are listed, . and .. are not";
    EXPECT_TRUE(mv::FindFiles(Path("missing/*.mvc")).empty());
    EXPECT_TRUE(mv::FindFiles(Path("*.none")).empty());
}

TEST_F(FoldersTest, CreateDirectoryReportsTheWindowsErrors) {
    SetLastError(0);
    EXPECT_TRUE(CreateDirectoryA(Path("one").c_str(), nullptr));
    const struct {
        std::string path;
        DWORD error;
    } failures[] = {
        {Path("one"), ERROR_ALREADY_EXISTS},
        {Path("missing/two"), ERROR_PATH_NOT_FOUND},
        {"", ERROR_PATH_NOT_FOUND},
    };
    for (const auto& f : failures) {
        SetLastError(0);
        EXPECT_FALSE(CreateDirectoryA(f.path.c_str(), nullptr)) << f.path;
        EXPECT_EQ(GetLastError(), f.error) << f.path;
    }
    EXPECT_TRUE(CreateDirectoryW(mv::ToUtf16(Path("wide")).c_str(), nullptr));
}

TEST_F(FoldersTest, CreateDirectoriesBuildsEveryLevelAndFailsOnAFileInTheWay) {
    EXPECT_TRUE(mv::CreateDirectories(Path("a/b/c")));
    EXPECT_TRUE(mv::CreateDirectories(Path("a/b/c/"))) << "existing and trailing slash";
    EXPECT_EQ(GetFileAttributesA(Path("a/b/c").c_str()), FILE_ATTRIBUTE_DIRECTORY);
    WriteFile(Path("file"));
    EXPECT_FALSE(mv::CreateDirectories(Path("file/below")));
    EXPECT_FALSE(mv::CreateDirectories(""));
}

TEST_F(FoldersTest, AttributesDeleteAndMove) {
    WriteFile(Path("f"));
    EXPECT_EQ(GetFileAttributesA(Path("f").c_str()), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(GetFileAttributesA(Path("none").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    WriteFile(Path("g"));
    SetLastError(0);
    EXPECT_FALSE(MoveFileExA(Path("f").c_str(), Path("g").c_str(), 0)) << "no replace";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(GetFileAttributesA(Path("f").c_str()), FILE_ATTRIBUTE_NORMAL) << "source kept";
    EXPECT_TRUE(MoveFileExA(Path("f").c_str(), Path("g").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetFileAttributesA(Path("f").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(MoveFileExW(mv::ToUtf16(Path("g")).c_str(), mv::ToUtf16(Path("h")).c_str(), 0));
    EXPECT_FALSE(MoveFileExA(Path("none").c_str(), Path("x").c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    ASSERT_TRUE(CreateDirectoryA(Path("d").c_str(), nullptr));
    EXPECT_FALSE(DeleteFileA(Path("d").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(DeleteFileA(Path("h").c_str()));
    EXPECT_FALSE(DeleteFileW(mv::ToUtf16(Path("h")).c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(FoldersTest, LastWriteTimeIsAFileTimeOfTheModification) {
    const std::string file = Path("lib.mvc");
    WriteFile(file);
    struct timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 123456789}};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    FILETIME ft{};
    ASSERT_TRUE(mv::GetFileLastWriteTime(file, &ft));
    const uint64_t ticks = (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
    EXPECT_EQ(ticks, 116444736000000000ull + 1700000000ull * 10000000ull + 1234567ull);

    EXPECT_FALSE(mv::GetFileLastWriteTime(Path("none.mvc"), &ft));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(mv::GetFileLastWriteTime(root_, &ft)) << "a folder is not a file";
    EXPECT_FALSE(mv::GetFileLastWriteTime(file, nullptr));
}

TEST(CommonAppData, ComesFromTheEnvironmentAndIsCreatedOnRequest) {
    const char* saved = std::getenv("MORVA_COMMON_APPDATA");
    ASSERT_NE(saved, nullptr);
    const std::string original = saved;
    const std::string fresh = mv::JoinPath(original, "common-fresh/inner");
    std::filesystem::remove_all(mv::JoinPath(original, "common-fresh"));
    setenv("MORVA_COMMON_APPDATA", fresh.c_str(), 1);

    char path[MAX_PATH];
    EXPECT_EQ(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path),
              HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, path),
              S_OK);
    EXPECT_EQ(std::string(path), fresh);
    EXPECT_EQ(GetFileAttributesA(fresh.c_str()), FILE_ATTRIBUTE_DIRECTORY);
    char16_t wide[MAX_PATH];
    EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, wide), S_OK);
    EXPECT_EQ(mv::ToUtf8(wide), fresh);
    EXPECT_EQ(mv::CommonAppDataFolder(), fresh);
    EXPECT_EQ(SHGetFolderPathA(nullptr, 0x001A, nullptr, 0, path), E_INVALIDARG);

    const std::string tooLong = mv::JoinPath(original, std::string(300, 'x'));
    setenv("MORVA_COMMON_APPDATA", tooLong.c_str(), 1);
    EXPECT_TRUE(FAILED(
        SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, path)));

    setenv("MORVA_COMMON_APPDATA", original.c_str(), 1);
}

}  // namespace
