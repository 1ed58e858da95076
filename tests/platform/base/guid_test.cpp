#include <gtest/gtest.h>

#include "base.h"

namespace {

TEST(Guid, FormatsParsesAndLaysOutItsBytes) {
    GUID g = {0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
    EXPECT_EQ(mv::GuidToString(g), "{12345678-9ABC-DEF0-0123-456789ABCDEF}");
    GUID back{};
    ASSERT_TRUE(mv::GuidFromString("{12345678-9abc-def0-0123-456789abcdef}", &back));
    EXPECT_EQ(back, g);
    // The first three fields little-endian, the last eight bytes as they are.
    uint8_t bytes[16];
    mv::GuidToBytes(g, bytes);
    const uint8_t expected[16] = {0x78, 0x56, 0x34, 0x12, 0xBC, 0x9A, 0xF0, 0xDE,
                                  0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    EXPECT_EQ(0, memcmp(bytes, expected, 16));
    EXPECT_EQ(mv::GuidFromBytes(expected), g);
}

TEST(Guid, RejectsMalformedText) {
    GUID g{};
    for (const char* bad :
         {"", "{}", "12345678-9ABC-DEF0-0123-456789ABCDEF",
          "{12345678-9ABC-DEF0-0123-456789ABCDEG}", "{12345678+9ABC-DEF0-0123-456789ABCDEF}",
          "{12345678-9ABC-DEF0-0123-456789ABCDEF"}) {
        EXPECT_FALSE(mv::GuidFromString(bad, &g)) << bad;
    }
    EXPECT_FALSE(mv::GuidFromString("{12345678-9ABC-DEF0-0123-456789ABCDEF}", nullptr));
}

}  // namespace
