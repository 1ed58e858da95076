#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <new>
#include <string>

#include "../../support/failing_new.h"
#include "oleaut.h"

namespace {

DWORD StoredByteCount(BSTR b) {
    DWORD n = 0;
    std::memcpy(&n, reinterpret_cast<const char*>(b) - sizeof(DWORD), sizeof(DWORD));
    return n;
}

struct AllocCase {
    const char* name;
    BSTR (*make)();
    bool null;
    UINT chars;
    UINT bytes;
    std::u16string content;  // compared over `bytes` bytes
};

const AllocCase kAllocCases[] = {
    {"plain", [] { return SysAllocString(u"abc"); }, false, 3, 6, u"abc"},
    {"empty", [] { return SysAllocString(u""); }, false, 0, 0, u""},
    {"null source", [] { return SysAllocString(nullptr); }, true, 0, 0, u""},
    {"embedded NUL", [] { return SysAllocStringLen(u"a\0b", 3); }, false, 3, 6,
     std::u16string(u"a\0b", 3)},
    {"length cuts", [] { return SysAllocStringLen(u"abcdef", 2); }, false, 2, 4, u"ab"},
    // A null source with a length gives a string of that length; we zero it.
    {"null with length", [] { return SysAllocStringLen(nullptr, 4); }, false, 4, 8,
     std::u16string(4, u'\0')},
    {"bytes even", [] { return SysAllocStringByteLen("\x41\x00\x42\x00", 4); }, false, 2, 4, u"AB"},
    // An odd byte count: one whole character, the odd byte kept in the count
    // and in the data.
    {"bytes odd", [] { return SysAllocStringByteLen("\x41\x00\x42", 3); }, false, 1, 3, u"AB"},
    {"bytes null source", [] { return SysAllocStringByteLen(nullptr, 5); }, false, 2, 5,
     std::u16string(3, u'\0')},
    {"too long", [] { return SysAllocStringLen(nullptr, 0xFFFFFFFFu); }, true, 0, 0, u""},
    {"too many bytes", [] { return SysAllocStringByteLen(nullptr, 0xFFFFFFFFu); }, true, 0, 0, u""},
};

TEST(Bstr, AllocationGivesLengthPrefixContentAndTerminator) {
    for (const AllocCase& c : kAllocCases) {
        SCOPED_TRACE(c.name);
        BSTR b = c.make();
        // A null BSTR reads as empty.
        EXPECT_EQ(SysStringLen(b), c.chars);
        EXPECT_EQ(SysStringByteLen(b), c.bytes);
        if (c.null) {
            EXPECT_EQ(b, nullptr);
            SysFreeString(b);
            continue;
        }
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(StoredByteCount(b), c.bytes);
        EXPECT_EQ(std::memcmp(b, c.content.data(), c.bytes), 0);
        // Zero terminated after the last whole character and after the last byte.
        EXPECT_EQ(b[(c.bytes + 1) / 2], u'\0');
        EXPECT_EQ(reinterpret_cast<const char*>(b)[c.bytes], '\0');
        SysFreeString(b);
    }
}

struct ReallocCase {
    const char* name;
    const char16_t* initial;  // null: start from a null BSTR
    // Source given as an offset into the current string, or as a literal.
    int selfOffset;  // -1: use `source`
    const char16_t* source;
    int length;  // -1: SysReAllocString, else SysReAllocStringLen
    std::u16string expected;
};

const ReallocCase kReallocCases[] = {
    {"grow", u"ab", -1, u"abcdef", -1, u"abcdef"},
    {"shrink", u"abcdef", -1, u"x", -1, u"x"},
    {"from null", nullptr, -1, u"new", -1, u"new"},
    {"null source gives empty", u"abc", -1, nullptr, -1, u""},
    {"tail of itself", u"hello", 1, nullptr, -1, u"ello"},
    {"head of itself by length", u"hello", 0, nullptr, 3, u"hel"},
    {"length with null source", u"abc", -1, nullptr, 2, std::u16string(2, u'\0')},
    {"length keeps NUL", u"q", -1, u"a\0b", 3, std::u16string(u"a\0b", 3)},
};

TEST(Bstr, ReallocationReplacesTheString) {
    for (const ReallocCase& c : kReallocCases) {
        SCOPED_TRACE(c.name);
        BSTR b = c.initial ? SysAllocString(c.initial) : nullptr;
        const OLECHAR* src = c.selfOffset >= 0 ? b + c.selfOffset : c.source;
        const INT ok = c.length < 0 ? SysReAllocString(&b, src)
                                    : SysReAllocStringLen(&b, src, static_cast<UINT>(c.length));
        EXPECT_TRUE(ok);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(std::u16string(b, SysStringLen(b)), c.expected);
        SysFreeString(b);
    }
}

TEST(Bstr, ReallocationFailuresLeaveTheStringAlone) {
    EXPECT_FALSE(SysReAllocString(nullptr, u"x"));
    EXPECT_FALSE(SysReAllocStringLen(nullptr, u"x", 1));
    BSTR b = SysAllocString(u"keep");
    EXPECT_FALSE(SysReAllocStringLen(&b, nullptr, 0xFFFFFFFFu));
    EXPECT_EQ(std::u16string(b), u"keep");
    SysFreeString(b);
}

TEST(Bstr, OwnerConvertsUtf8AndCopiesByValue) {
    const std::string text =
        "Gr\xC3\xBC\xC3\x9F"
        "e \xE2\x82\xAC \xF0\x9F\x98\x80";
    mv::Bstr a(std::string_view{text});
    EXPECT_EQ(a.Length(), 10u);  // the emoji takes a surrogate pair
    EXPECT_EQ(a.Utf8(), text);
    mv::Bstr b = a;
    EXPECT_NE(a.get(), b.get());
    mv::Bstr c = std::move(b);
    EXPECT_EQ(b.get(), nullptr);
    EXPECT_EQ(c.view(), a.view());
    EXPECT_EQ(mv::Bstr(std::string_view{}).Length(), 0u);
}

// An owner made from text is never null by failure: each constructor that
// copies text throws when the string cannot be allocated. Null stays null and
// empty text gives an empty string.
TEST(Bstr, OwnerThrowsWhenItsStringCannotBeAllocated) {
    const mv::Bstr source(u"abc");
    EXPECT_EQ(mv::Bstr(static_cast<const OLECHAR*>(nullptr)).get(), nullptr);
    EXPECT_EQ(mv::Bstr(mv::Bstr()).get(), nullptr);
    for (const mv::Bstr& empty :
         {mv::Bstr(u""), mv::Bstr(std::u16string_view{}), mv::Bstr(std::string_view{})}) {
        EXPECT_NE(empty.get(), nullptr);
        EXPECT_EQ(empty.Length(), 0u);
    }
    if (!mv_test::CanFailCAllocator()) GTEST_SKIP() << "the C allocator cannot fail here";
    const struct {
        const char* name;
        std::function<mv::Bstr()> make;
    } rows[] = {
        {"characters", [] { return mv::Bstr(u"abc"); }},
        {"view", [] { return mv::Bstr(std::u16string_view(u"abc")); }},
        {"empty view", [] { return mv::Bstr(std::u16string_view{}); }},
        {"utf-8", [] { return mv::Bstr(std::string_view("abc")); }},
        {"copy", [&] { return mv::Bstr(source); }},
    };
    for (const auto& row : rows) {
        bool threw = false;
        {
            mv_test::FailingNthNew failing(1, mv_test::Allocator::C);
            try {
                (void)row.make();
            } catch (const std::bad_alloc&) {
                threw = true;
            }
        }
        EXPECT_TRUE(threw) << row.name;
    }
}

}  // namespace

namespace {

TEST(Bstr, AppendGivesAnOrdinaryStringAndGrowsWithSpareRoom) {
    struct Row {
        const char* name;
        BSTR (*make)();
        std::u16string added;
        std::u16string want;
    };
    const Row rows[] = {
        {"onto text", [] { return SysAllocString(u"ab"); }, u"cd", u"abcd"},
        {"onto empty", [] { return SysAllocString(u""); }, u"x", u"x"},
        {"onto null", []() -> BSTR { return nullptr; }, u"x", u"x"},
        {"nothing onto null", []() -> BSTR { return nullptr; }, u"", u""},
        {"embedded NUL", [] { return SysAllocStringLen(u"a\0b", 3); }, std::u16string(u"\0c", 2),
         std::u16string(u"a\0b\0c", 5)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        BSTR b = row.make();
        ASSERT_EQ(mv::AppendToBstr(&b, row.added.data(), static_cast<UINT>(row.added.size())),
                  S_OK);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(SysStringLen(b), row.want.size());
        EXPECT_EQ(StoredByteCount(b), row.want.size() * sizeof(OLECHAR));
        EXPECT_EQ(std::u16string(b, SysStringLen(b)), row.want);
        EXPECT_EQ(b[row.want.size()], u'\0');
        mv::Variant v, copy;
        v.vt = VT_BSTR;
        v.bstrVal = b;  // v frees it
        ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
        EXPECT_EQ(std::u16string(copy.bstrVal, SysStringLen(copy.bstrVal)), row.want);
    }

    // Appending a string to itself, then many single characters: the
    // string moves only when its room runs out, which doubles each time.
    BSTR b = SysAllocString(u"ab");
    ASSERT_EQ(mv::AppendToBstr(&b, b, SysStringLen(b)), S_OK);
    EXPECT_EQ(std::u16string(b), u"abab");
    int moves = 0;
    for (int i = 0; i < 10000; ++i) {
        const BSTR before = b;
        ASSERT_EQ(mv::AppendToBstr(&b, u"z", 1), S_OK);
        moves += b != before;
    }
    EXPECT_EQ(SysStringLen(b), 10004u);
    EXPECT_EQ(std::u16string(b).substr(0, 5), u"ababz");
    EXPECT_LE(moves, 20);
    SysFreeString(b);
}

TEST(Bstr, AppendRefusesWhatItCannotExtend) {
    EXPECT_EQ(mv::AppendToBstr(nullptr, u"x", 1), E_INVALIDARG);
    BSTR odd = SysAllocStringByteLen("\x41\x00\x42", 3);
    EXPECT_EQ(mv::AppendToBstr(&odd, u"x", 1), E_INVALIDARG);
    EXPECT_EQ(SysStringByteLen(odd), 3u);
    SysFreeString(odd);
}

}  // namespace
