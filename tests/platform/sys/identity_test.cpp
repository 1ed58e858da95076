#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

#include "sys.h"

namespace {

class OverrideUser {
public:
    explicit OverrideUser(const char* name) { mv::SetThreadUserNameForTesting(name); }
    ~OverrideUser() { mv::SetThreadUserNameForTesting(nullptr); }
};

TEST(UserName, FollowsTheBufferSizeProtocol) {
    OverrideUser user("operator");
    struct Case {
        DWORD size;
        BOOL ok;
        DWORD sizeAfter;
        DWORD error;
    };
    const Case cases[] = {
        {0, FALSE, 9, ERROR_INSUFFICIENT_BUFFER},
        {8, FALSE, 9, ERROR_INSUFFICIENT_BUFFER},  // no room for the terminator
        {9, TRUE, 9, 0},
        {64, TRUE, 9, 0},
    };
    for (const Case& c : cases) {
        char narrow[64] = "untouched";
        char16_t wide[64] = u"untouched";
        DWORD size = c.size;
        SetLastError(0);
        EXPECT_EQ(GetUserNameA(narrow, &size), c.ok) << c.size;
        EXPECT_EQ(size, c.sizeAfter) << c.size;
        EXPECT_EQ(GetLastError(), c.error) << c.size;
        if (c.ok) {
            EXPECT_STREQ(narrow, "operator");
        }
        size = c.size;
        EXPECT_EQ(GetUserNameW(wide, &size), c.ok) << c.size;
        EXPECT_EQ(size, c.sizeAfter) << c.size;
        if (c.ok) {
            EXPECT_EQ(std::u16string(wide), u"operator");
        }
    }
    DWORD size = 4;
    EXPECT_FALSE(GetUserNameA(nullptr, &size));
    EXPECT_FALSE(GetUserNameA(nullptr, nullptr));
}

TEST(UserName, WithoutOverrideIsTheProcessUser) {
    char name[256];
    DWORD size = sizeof name;
    ASSERT_TRUE(GetUserNameA(name, &size));
    EXPECT_EQ(size, std::strlen(name) + 1);
    EXPECT_GT(std::strlen(name), 0u);
}

TEST(ComputerName, IsTheUpperCasedHostNameCutToFifteen) {
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    std::string expected(host);
    expected = expected.substr(0, expected.find('.')).substr(0, 15);
    for (char& c : expected) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    char name[16];
    DWORD size = sizeof name;
    ASSERT_TRUE(GetComputerNameA(name, &size));
    EXPECT_EQ(std::string(name), expected);
    EXPECT_EQ(size, expected.size()) << "the length without the terminator";

    DWORD small = static_cast<DWORD>(expected.size());  // one short
    SetLastError(0);
    EXPECT_FALSE(GetComputerNameA(name, &small));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUFFER_OVERFLOW));
    EXPECT_EQ(small, expected.size() + 1);

    char16_t wide[16];
    size = 16;
    ASSERT_TRUE(GetComputerNameW(wide, &size));
    EXPECT_EQ(mv::ToUtf8(wide), expected);
}

TEST(Account, IsTheThreadUserInTheComputerDomain) {
    OverrideUser user("client");
    std::string account = "old", domain = "old";
    ASSERT_TRUE(mv::GetThreadAccount(&account, &domain));
    EXPECT_EQ(account, "client");
    char computer[16];
    DWORD size = sizeof computer;
    ASSERT_TRUE(GetComputerNameA(computer, &size));
    EXPECT_EQ(domain, computer);

    mv::SetThreadUserNameForTesting("");
    account = domain = "kept";
    EXPECT_FALSE(mv::GetThreadAccount(&account, &domain));
    EXPECT_EQ(account, "kept");
    EXPECT_EQ(domain, "kept");
    EXPECT_FALSE(mv::GetThreadAccount(nullptr, &domain));
}

}  // namespace
