// Dates to and from en-US text.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "oleaut.h"

namespace {

constexpr DATE k2024Jan2 = 45293.0;
constexpr DATE kThreeOhFourPm = (15 * 3600 + 4 * 60 + 5) / 86400.0;

struct DateText {
    DATE value;
    ULONG flags;
    const char* text;
};

// Values from the platform's public conversion tables: a time on 12/30/1899
// prints alone, a midnight prints the date alone.
const DateText kDateText[] = {
    {0.0, 0, "12:00:00 AM"},
    {0.5, 0, "12:00:00 PM"},
    {3.34, 0, "1/2/1900 8:09:36 AM"},
    {3339.34, 0, "2/20/1909 8:09:36 AM"},
    {365.0, 0, "12/30/1900"},
    {1461.5, 0, "12/31/1903 12:00:00 PM"},
    {-49192.24, 0, "4/24/1765 5:45:36 AM"},
    {-657434.0, 0, "1/1/100"},
    {2958465.0, 0, "12/31/9999"},
    {k2024Jan2 + kThreeOhFourPm, 0, "1/2/2024 3:04:05 PM"},
    {k2024Jan2 + kThreeOhFourPm, VAR_DATEVALUEONLY, "1/2/2024"},
    {k2024Jan2 + kThreeOhFourPm, VAR_TIMEVALUEONLY, "3:04:05 PM"},
    {0.25, VAR_DATEVALUEONLY, "12/30/1899"},
    {k2024Jan2, VAR_TIMEVALUEONLY, "12:00:00 AM"},
};

TEST(ConvertDate, DateToText) {
    for (const auto& c : kDateText) {
        SCOPED_TRACE(c.text);
        mv::Bstr b;
        ASSERT_EQ(VarBstrFromDate(c.value, LCID_EN_US, c.flags, b.Out()), S_OK);
        EXPECT_EQ(b.Utf8(), c.text);
        if (c.flags != 0) continue;
        mv::Variant v = mv::Variant::Date(c.value);
        ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
        EXPECT_EQ(mv::ToUtf8(std::u16string_view(v.bstrVal, SysStringLen(v.bstrVal))), c.text);
    }
}

TEST(ConvertDate, DateOutsideTheCalendarIsRejected) {
    mv::Bstr b;
    EXPECT_EQ(VarBstrFromDate(2958466.0, LCID_EN_US, 0, b.Out()), E_INVALIDARG);
    EXPECT_EQ(VarBstrFromDate(-657435.0, LCID_EN_US, 0, b.Out()), E_INVALIDARG);
    EXPECT_EQ(b.get(), nullptr);
}

struct TextDate {
    const char* text;
    HRESULT hr;
    DATE value;
};

const TextDate kTextDate[] = {
    {"1/2/2024", S_OK, k2024Jan2},
    {"2024-01-02", S_OK, k2024Jan2},
    {"1/2/2024 3:04:05 PM", S_OK, k2024Jan2 + kThreeOhFourPm},
    {"January 2, 2024", S_OK, k2024Jan2},
    {"2 Jan 2024", S_OK, k2024Jan2},
    {"15:04", S_OK, (15 * 60 + 4) / 1440.0},
    {"3:04:05 pm", S_OK, kThreeOhFourPm},
    // From Wine's oleaut32 conformance tests (dlls/oleaut32/tests/vartype.c,
    // test_VarDateFromStr): a dot between numbers separates hours, minutes
    // and seconds; a first number that cannot be a month may be a year.
    {"0.1", S_OK, 0.0006944444444444445},
    {"2.5", S_OK, 0.08680555555555555},
    {"1.5.2", S_OK, 0.04516203703703704},
    {"1.2 3 4 5", S_OK, 38415.04305555556},
    {"1.2.3 4 5 6", S_OK, 38812.04309027778},
    {"1 2 3 4.5.6", S_OK, 37623.17020833334},
    {"14 2 3", S_OK, 41673.0},
    {"2 14 3", S_OK, 37666.0},
    {"32 2 3", S_OK, 11722.0},
    {"1/2/1970", S_OK, 25570.0},
    {"2 January, 1970", S_OK, 25570.0},
    {"2-Jan-1970", S_OK, 25570.0},
    {"13-1-1970", S_OK, 25581.0},
    {"6/30/2011 01:20:34", S_OK, 40724.05594907407},
    {"6/30/2011 01:20:34 PM", S_OK, 40724.55594907407},
    {"2013-05-14 02:04:12", S_OK, 41408.08625000001},
    {"1 am", S_OK, 1 / 24.0},
    {"00:00 AM", S_OK, 0.0},
    {"12:59 AM", S_OK, 0.04097222222222222},
    {"00:00 pm", S_OK, 0.5},
    {"12:59 p", S_OK, 0.5409722222222222},
    {"13:00 AM", S_OK, 0.5416666666666666},
    {"3:5", S_OK, 0.1284722222222222},
    {"30 2", S_OK, 10990.0},
    {"Jan 35", S_OK, 12785.0},
    {"1 2 29", S_OK, 47120.0},
    {"1 2 30", S_OK, 10960.0},
    {"2013-05-14 02:04:12.017000000", DISP_E_TYPEMISMATCH, 0},
    {"02.01.1970", DISP_E_TYPEMISMATCH, 0},
    {"32 49", DISP_E_TYPEMISMATCH, 0},
    {"0 49", DISP_E_TYPEMISMATCH, 0},
    // test_VarDateFromStr again: a sign before or after a dotted time.
    {"1.1", S_OK, 0.04236111111111111},
    {"-1.1", DISP_E_TYPEMISMATCH, 0},
    {"1.1-", DISP_E_TYPEMISMATCH, 0},
    {"+1.1", DISP_E_TYPEMISMATCH, 0},
    // Two-digit years: 0 to 29 are 2000 to 2029, 30 to 99 are 1930 to 1999.
    {"1/1/24", S_OK, 45292.0},
    {"1/1/30", S_OK, 10959.0},
    // Not dates at all, or dates that do not exist.
    {"", DISP_E_TYPEMISMATCH, 0},
    {"2/30/2024", DISP_E_TYPEMISMATCH, 0},
    {"2/29/2023", DISP_E_TYPEMISMATCH, 0},
    {"25:00", DISP_E_TYPEMISMATCH, 0},
    {"10:60", DISP_E_TYPEMISMATCH, 0},
    {"PM", DISP_E_TYPEMISMATCH, 0},
    {"1:2:3:4", DISP_E_TYPEMISMATCH, 0},
    {"1/2/99999", DISP_E_TYPEMISMATCH, 0},
};

TEST(ConvertDate, TextToDate) {
    for (const auto& c : kTextDate) {
        SCOPED_TRACE(c.text);
        const std::u16string w = mv::ToUtf16(c.text);
        DATE d = -1.0;
        ASSERT_EQ(VarDateFromStr(w.c_str(), LCID_EN_US, 0, &d), c.hr);
        mv::Variant v(std::u16string_view{w});
        mv::Variant out;
        ASSERT_EQ(VariantChangeType(&out, &v, 0, VT_DATE), c.hr);
        if (c.hr != S_OK) {
            EXPECT_EQ(d, -1.0);
            continue;
        }
        EXPECT_NEAR(d, c.value, 1e-9);
        EXPECT_EQ(out.vt, VT_DATE);
        EXPECT_NEAR(out.date, c.value, 1e-9);
    }
}

TEST(ConvertDate, ValueOnlyFlagsKeepOneHalf) {
    const std::u16string w = u"1/2/2024 3:04:05 PM";
    DATE d = 0;
    ASSERT_EQ(VarDateFromStr(w.c_str(), LCID_EN_US, VAR_DATEVALUEONLY, &d), S_OK);
    EXPECT_EQ(d, k2024Jan2);
    ASSERT_EQ(VarDateFromStr(w.c_str(), LCID_EN_US, VAR_TIMEVALUEONLY, &d), S_OK);
    EXPECT_NEAR(d, kThreeOhFourPm, 1e-9);
    EXPECT_EQ(VarDateFromStr(nullptr, LCID_EN_US, 0, &d), DISP_E_TYPEMISMATCH);
}

int64_t MidJune2024() {
    return (int64_t(45458) - 25569) * 86400 * 1000000;
}  // 6/15/2024 00:00 UTC

TEST(ConvertDate, MissingYearIsTheCurrentOne) {
    mv::SetClockForTesting(&MidJune2024);
    const struct {
        const char* text;
        DATE value;
    } cases[] = {
        {"Jan 2", k2024Jan2}, {"2 Jan", k2024Jan2}, {"1/2", k2024Jan2}, {"14 1", k2024Jan2 + 12}};
    for (const auto& c : cases) {
        const std::u16string w = mv::ToUtf16(c.text);
        DATE d = 0;
        EXPECT_EQ(VarDateFromStr(w.c_str(), LCID_EN_US, 0, &d), S_OK) << c.text;
        EXPECT_EQ(d, c.value) << c.text;
    }
    mv::SetClockForTesting(nullptr);
}

}  // namespace
