#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "frame/owned_string.h"

namespace {

int Sign(int v) {
    return (v > 0) - (v < 0);
}

struct AssignCase {
    const char* source;
    const char* text;
    bool empty;
    std::size_t length;
};

TEST(CharString, AssignStoresNonEmptyTextOnly) {
    const AssignCase cases[] = {
        {nullptr, "", true, 0},
        {"", "", true, 0},
        {"a", "a", false, 1},
        {"Gr\xC3\xBC\xC3\x9F"
         "e",
         "Gr\xC3\xBC\xC3\x9F"
         "e",
         false, 7},  // the length counts bytes
    };
    for (const auto& c : cases) {
        // Start from a stored text so that every case also replaces one.
        CharString s;
        s = "previous";
        s.Assign(c.source);
        EXPECT_STREQ(s.CStr(), c.text) << (c.source ? c.source : "(null)");
        EXPECT_EQ(s.IsEmpty(), c.empty) << (c.source ? c.source : "(null)");
        EXPECT_EQ(s.Length(), c.length) << (c.source ? c.source : "(null)");
    }
}

TEST(CharString, AssignFromItsOwnTextKeepsTheText) {
    struct Case {
        std::size_t offset;  // where in "abcdef" the source starts
        const char* expected;
    };
    for (const Case c : {Case{0, "abcdef"}, Case{2, "cdef"}, Case{5, "f"}, Case{6, ""}}) {
        CharString s;
        s = "abcdef";
        s.Assign(s.CStr() + c.offset);
        EXPECT_STREQ(s.CStr(), c.expected) << c.offset;
        EXPECT_EQ(s.IsEmpty(), *c.expected == '\0') << c.offset;
    }
    CharString s;
    s = "self";
    s = s.CStr();
    EXPECT_STREQ(s.CStr(), "self");
}

TEST(CharString, ToBstrConvertsUtf8ToUtf16) {
    struct Case {
        const char* text;
        std::u16string expected;
    };
    const Case cases[] = {
        {"", u""},
        {"\xE2\x82\xAC 5", u"\u20AC 5"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},  // needs a surrogate pair
    };
    for (const auto& c : cases) {
        CharString s;
        s = c.text;
        BSTR b = s.ToBSTR();
        ASSERT_NE(b, nullptr) << c.text;  // empty is an empty BSTR, never null
        EXPECT_EQ(std::u16string(b, SysStringLen(b)), c.expected) << c.text;
        EXPECT_EQ(b[SysStringLen(b)], u'\0') << c.text;
        SysFreeString(b);
    }
}

TEST(CharString, CompareNoCaseFoldsAsciiLetters) {
    struct Case {
        const char* stored;
        const char* other;
        int sign;
    };
    const Case cases[] = {
        {"", "a", -1},
        {"a", "", 1},
        {"Tag.Pv", "tAG.pV", 0},
        {"abc", "ABD", -1},
        {"b", "A", 1},
        {"ab", "abc", -1},
        {"abc", nullptr, 1},
        {"", nullptr, 0},
        {"\xC3\x9C", "\xC3\xBC", -1},  // only ASCII letters fold
    };
    for (const auto& c : cases) {
        CharString s;
        s = c.stored;
        EXPECT_EQ(Sign(s.CompareNoCase(c.other)), c.sign)
            << '"' << c.stored << "\" vs \"" << (c.other ? c.other : "(null)") << '"';
    }
}

}  // namespace
