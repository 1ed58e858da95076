#include <gtest/gtest.h>

#include "base.h"

namespace {

struct Utf16Case {
    std::u16string utf16;
    std::string utf8;
};

TEST(TextConversion, RoundTripsWellFormedText) {
    const Utf16Case cases[] = {
        {u"", ""},
        {u"plain ascii", "plain ascii"},
        {u"\u00B0F",
         "\xC2\xB0"
         "F"},                                                 // degree sign
        {u"\u20AC", "\xE2\x82\xAC"},                           // euro sign
        {u"\U0001F600", "\xF0\x9F\x98\x80"},                   // surrogate pair
        {std::u16string(u"a\0b", 3), std::string("a\0b", 3)},  // embedded NUL
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mv::ToUtf8(c.utf16), c.utf8);
        EXPECT_EQ(mv::ToUtf16(c.utf8), c.utf16);
    }
}

TEST(TextConversion, IllFormedInputBecomesReplacementCharacterAndNullReadsAsEmpty) {
    EXPECT_EQ(mv::ToUtf8(std::u16string(u"a\xD800"
                                        u"b")),
              "a\xEF\xBF\xBD"
              "b");                                                      // lone high
    EXPECT_EQ(mv::ToUtf8(std::u16string(u"\xDC00")), "\xEF\xBF\xBD");    // lone low
    EXPECT_EQ(mv::ToUtf8(std::u16string(u"x\xD83D")), "x\xEF\xBF\xBD");  // at the end
    EXPECT_EQ(mv::ToUtf16("a\xFF"
                          "b"),
              u"a\uFFFDb");                                         // invalid byte
    EXPECT_EQ(mv::ToUtf16("\xC0\x80"), u"\uFFFD\uFFFD");            // overlong NUL
    EXPECT_EQ(mv::ToUtf16("\xE2\x82"), u"\uFFFD\uFFFD");            // truncated sequence
    EXPECT_EQ(mv::ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
    EXPECT_EQ(mv::ToUtf8(static_cast<const OLECHAR*>(nullptr)), "");
    EXPECT_EQ(mv::ToUtf16(static_cast<const char*>(nullptr)), u"");
}

TEST(CompareNoCase, FoldsAsciiLettersOnly) {
    EXPECT_EQ(mv::CompareNoCase("Morva.Calc", "MORVA.calc"), 0);
    EXPECT_LT(mv::CompareNoCase("abc", "ABD"), 0);
    EXPECT_GT(mv::CompareNoCase("abcd", "ABC"), 0);
    EXPECT_NE(mv::CompareNoCase(u"\u00E9", u"\u00C9"), 0);  // non-ASCII is not folded
    EXPECT_TRUE(mv::EqualsNoCase(u"InprocServer32", u"INPROCSERVER32"));
}

}  // namespace
