// Numbers to and from text, and numeric narrowing, through VariantChangeType
// and the single VarXxx calls.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "oleaut.h"
#include "test_support.h"

namespace {

using mv::test::IntOf;
using mv::test::Of;
using mv::test::R8;
using mv::test::Str;
using mv::test::Utf8;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct RealText {
    double value;
    const char* text;
};

// At most fifteen significant digits; the exponent form from 1E+15 up and
// where the fixed form would need more than fifteen digits after the point.
// [W] rows: Wine's oleaut32 conformance tests (dlls/oleaut32/tests/vartype.c,
// test_VarBstrFromR8).
const RealText kR8Text[] = {
    {0.1 + 0.2, "0.3"},
    {5.6789e-11, "0.000000000056789"},           // [W]
    {5.6789e-12, "5.6789E-12"},                  // [W]
    {1234.567890123456789, "1234.56789012346"},  // [W]
    {1200000000000000.0, "1.2E+15"},             // [W]
    {123456789012345680.0, "1.23456789012346E+17"},
    {-0.0, "0"},
    {1e15, "1E+15"},                         // [W]
    {999999999999999.0, "999999999999999"},  // [W]
    {9999999999999999.0, "1E+16"},           // rounding carries into a new digit
    {1e-300, "1E-300"},
    // Printed as the platform's C runtime prints them.
    {kInf, "1.#INF"},
    {-kInf, "-1.#INF"},
    {kNaN, "1.#QNAN"},
    {-kNaN, "-1.#IND"},
};

TEST(ConvertText, R8PrintsFifteenSignificantDigits) {
    for (const auto& c : kR8Text) {
        SCOPED_TRACE(c.text);
        mv::Bstr direct;
        ASSERT_EQ(VarBstrFromR8(c.value, LCID_EN_US, 0, direct.Out()), S_OK);
        EXPECT_EQ(direct.Utf8(), c.text);
        mv::Variant v = R8(c.value);
        ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
        EXPECT_EQ(Utf8(v), c.text);
    }
}

TEST(ConvertText, R4PrintsSevenSignificantDigits) {
    const struct {
        float value;
        const char* text;
    } cases[] = {
        // Wine's conformance tests (vartype.c, test_VarBstrFromR4).
        {654322.23456f, "654322.3"},  // stored as 654322.25: the tie rounds away from zero
        {0.000005f, "0.000005"},
        {12.3456789f, "12.34568"},
        {1234567.0f, "1234567"},
        {1e7f, "1E+07"},
        {1e8f, "1E+08"},
        {-0.0f, "0"},
        {3.4e38f, "3.4E+38"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        mv::Bstr b;
        ASSERT_EQ(VarBstrFromR4(c.value, LCID_EN_US, 0, b.Out()), S_OK);
        EXPECT_EQ(b.Utf8(), c.text);
    }
}

mv::Variant DecVariant(BYTE scale, BYTE sign, ULONG hi, ULONGLONG lo) {
    mv::Variant v;
    v.decVal.scale = scale;
    v.decVal.sign = sign;
    v.decVal.Hi32 = hi;
    v.decVal.Lo64 = lo;
    v.vt = VT_DECIMAL;
    return v;
}

TEST(ConvertText, BoolCurrencyAndDecimalToText) {
    const struct {
        mv::Variant src;
        USHORT flags;
        const char* text;
    } cases[] = {
        {mv::Variant(true), 0, "-1"},
        {mv::Variant(false), 0, "0"},
        {mv::Variant(true), VARIANT_ALPHABOOL, "True"},
        {mv::Variant(false), VARIANT_ALPHABOOL, "False"},
        {mv::Variant(true), VARIANT_LOCALBOOL, "True"},  // the en-US words
        {mv::Variant(false), VARIANT_ALPHABOOL | VARIANT_LOCALBOOL, "False"},
        {Of(VT_CY, 0), 0, "0"},
        {Of(VT_CY, 15000), 0, "1.5"},
        {Of(VT_CY, -15000), 0, "-1.5"},
        {Of(VT_CY, 9), 0, "0.0009"},
        {Of(VT_CY, 9223372036854775807LL), 0, "922337203685477.5807"},
        {Of(VT_CY, -9223372036854775807LL - 1), 0, "-922337203685477.5808"},
        {DecVariant(0, 0, 0, 0), 0, "0"},
        {DecVariant(3, 0, 0, 1000), 0, "1"},
        {DecVariant(3, 0, 0, 1500), 0, "1.5"},
        {DecVariant(1, DECIMAL_NEG, 0, 15), 0, "-1.5"},
        {DecVariant(0, 0, 1, 0), 0, "18446744073709551616"},
        {DecVariant(0, 0, 0xFFFFFFFF, ~0ULL), 0, "79228162514264337593543950335"},
        {DecVariant(28, 0, 0xFFFFFFFF, ~0ULL), 0, "7.9228162514264337593543950335"},
        {DecVariant(10, 0, 0, 1), 0, "0.0000000001"},
        {DecVariant(7, 0, 0, 9000), 0, "0.0009"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        mv::Variant out;
        ASSERT_EQ(VariantChangeType(&out, &c.src, c.flags, VT_BSTR), S_OK);
        EXPECT_EQ(Utf8(out), c.text);
    }
}

struct TextToNumber {
    const char* text;
    HRESULT hr;
    double value;
};

const TextToNumber kTextToR8[] = {
    {"  12  ", S_OK, 12},
    {"\t-3.25 ", S_OK, -3.25},
    {"1,234,567", S_OK, 1234567},
    {"+5", S_OK, 5},
    {"5-", S_OK, -5},
    {"(5)", S_OK, -5},
    {"$1,000.50", S_OK, 1000.5},
    {"-$2", S_OK, -2},
    {"1.5E-2", S_OK, 0.015},
    {".5", S_OK, 0.5},
    {"7.", S_OK, 7},
    {"&H1F", S_OK, 31},
    {"&hff", S_OK, 255},
    {"&O17", S_OK, 15},
    {"&H80000000", S_OK, -2147483648.0},  // a 32-bit pattern, as the platform reads it
    {"1e-94938484", S_OK, 0},             // the exponent alone overflows an int
    {"0.1", S_OK, 0.1},
    {"1e400", DISP_E_OVERFLOW, 0},
    {"&H100000000", DISP_E_OVERFLOW, 0},
    {"", DISP_E_TYPEMISMATCH, 0},
    {"12abc", DISP_E_TYPEMISMATCH, 0},
    {"1.2.3", DISP_E_TYPEMISMATCH, 0},
    {"--1", DISP_E_TYPEMISMATCH, 0},
    {"1e", DISP_E_TYPEMISMATCH, 0},
    {"&H", DISP_E_TYPEMISMATCH, 0},
    {",5", DISP_E_TYPEMISMATCH, 0},
    {"(5", DISP_E_TYPEMISMATCH, 0},
    {"1.#INF", DISP_E_TYPEMISMATCH, 0}};

TEST(ConvertText, TextToR8) {
    for (const auto& c : kTextToR8) {
        SCOPED_TRACE(c.text);
        DOUBLE d = -99;
        const std::u16string w = mv::ToUtf16(c.text);
        EXPECT_EQ(VarR8FromStr(w.c_str(), LCID_EN_US, 0, &d), c.hr);
        mv::Variant v = Str(c.text);
        mv::Variant out;
        EXPECT_EQ(VariantChangeType(&out, &v, 0, VT_R8), c.hr);
        if (c.hr == S_OK) {
            EXPECT_DOUBLE_EQ(d, c.value);
            EXPECT_EQ(out.vt, VT_R8);
            EXPECT_DOUBLE_EQ(out.dblVal, c.value);
        } else {
            EXPECT_EQ(d, -99) << "a failed conversion wrote its output";
            EXPECT_EQ(out.vt, VT_EMPTY);
        }
    }
    LONG l = 0;
    DOUBLE d = 0;
    EXPECT_EQ(VarI4FromStr(nullptr, LCID_EN_US, 0, &l), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VarR8FromStr(nullptr, LCID_EN_US, 0, &d), DISP_E_TYPEMISMATCH);
}

// Every conversion whose result is an integer, a boolean (-1 or 0) or a
// currency (in ten-thousandths). Rounding is half to even throughout.
// Between integer types of one size up to four bytes the bits are kept, and
// VT_I8 to VT_CY stops one short of the currency's range: [W] rows are from
// Wine's conformance tests (vartype.c: NEGATIVE_TYPETEST in
// test_VarI1/I2/I4ChangeTypeEx, test_UintChangeTypeEx, test_VarCyFromI8).
TEST(ConvertNumber, IntegerBoolAndCurrencyResults) {
    const struct {
        mv::Variant src;
        VARTYPE to;
        HRESULT hr;
        long long value;
    } cases[] = {
        {Str("2147483647"), VT_I4, S_OK, 2147483647},
        {Str("-2147483648"), VT_I4, S_OK, -2147483648LL},
        {Str("2147483648"), VT_I4, DISP_E_OVERFLOW, 0},
        {Str("2.5"), VT_I4, S_OK, 2},
        {Str("3.5"), VT_I4, S_OK, 4},
        {Str("-2.5"), VT_I4, S_OK, -2},
        {Str("1e3"), VT_I4, S_OK, 1000},
        {Str("x"), VT_I4, DISP_E_TYPEMISMATCH, 0},
        {Str("32768"), VT_I2, DISP_E_OVERFLOW, 0},
        {Str("-0.5"), VT_UI1, S_OK, 0},
        {Str("-0.6"), VT_UI1, DISP_E_OVERFLOW, 0},
        {Str("255"), VT_UI1, S_OK, 255},
        {Str("256"), VT_UI1, DISP_E_OVERFLOW, 0},
        {Str("9223372036854775807"), VT_I8, S_OK, 9223372036854775807LL},
        {Str("9223372036854775808"), VT_I8, DISP_E_OVERFLOW, 0},
        {Str("1,000"), VT_UI2, S_OK, 1000},
        {R8(2.5), VT_I4, S_OK, 2},
        {R8(3.5), VT_I4, S_OK, 4},
        {R8(-1.5), VT_I4, S_OK, -2},
        {R8(0.6), VT_I4, S_OK, 1},
        {R8(2147483647.49), VT_I4, S_OK, 2147483647},
        {R8(2147483647.5), VT_I4, DISP_E_OVERFLOW, 0},
        {R8(-2147483648.5), VT_I4, S_OK, -2147483648LL},
        {R8(-2147483648.51), VT_I4, DISP_E_OVERFLOW, 0},
        {R8(kNaN), VT_I4, DISP_E_OVERFLOW, 0},
        {mv::Variant::Date(45293.5), VT_I4, S_OK, 45294},
        {Of(VT_I4, 70000), VT_I2, DISP_E_OVERFLOW, 0},
        {Of(VT_I4, 32767), VT_I2, S_OK, 32767},
        {Of(VT_I4, -1), VT_UI4, S_OK, 0xFFFFFFFFLL},   // [W]
        {Of(VT_UINT, 0xFFFFFFFFLL), VT_I4, S_OK, -1},  // [W]
        {Of(VT_UI4, 0xFFFFFFFFLL), VT_INT, S_OK, -1},
        {Of(VT_I2, -2), VT_UI2, S_OK, 65534},         // [W]
        {Of(VT_I1, -1), VT_UI1, S_OK, 255},           // [W]
        {Of(VT_I4, -1), VT_UI2, DISP_E_OVERFLOW, 0},  // sizes differ
        {Of(VT_UI8, -1), VT_I8, DISP_E_OVERFLOW, 0},  // eight bytes stay checked
        {Of(VT_I8, 922337203685476LL), VT_CY, S_OK, 9223372036854760000LL},  // [W]
        {Of(VT_I8, 922337203685477LL), VT_CY, DISP_E_OVERFLOW, 0},           // [W]
        {Of(VT_I8, -922337203685477LL), VT_CY, DISP_E_OVERFLOW, 0},          // [W]
        {Of(VT_I8, 1LL << 40), VT_I4, DISP_E_OVERFLOW, 0},
        {Of(VT_I8, -128), VT_I1, S_OK, -128},
        {Of(VT_I8, -129), VT_I1, DISP_E_OVERFLOW, 0},
        {Of(VT_I4, 3000000), VT_DATE, DISP_E_OVERFLOW, 0},
        // True is all bits set, also in an unsigned type.
        {mv::Variant(true), VT_I4, S_OK, -1},
        {mv::Variant(false), VT_I4, S_OK, 0},
        {mv::Variant(true), VT_UI2, S_OK, 65535},
        {mv::Variant(true), VT_UI1, S_OK, 255},
        {Str("True"), VT_BOOL, S_OK, VARIANT_TRUE},
        {Str(" FALSE "), VT_BOOL, S_OK, VARIANT_FALSE},
        {Str("#TRUE#"), VT_BOOL, S_OK, VARIANT_TRUE},
        {Str("#True#"), VT_BOOL, DISP_E_TYPEMISMATCH, 0},
        {Str("0"), VT_BOOL, S_OK, VARIANT_FALSE},
        {Str("+1"), VT_BOOL, S_OK, VARIANT_TRUE},
        {Str("0.1"), VT_BOOL, S_OK, VARIANT_TRUE},
        {Str("0.0"), VT_BOOL, S_OK, VARIANT_FALSE},
        {Str("Yes"), VT_BOOL, DISP_E_TYPEMISMATCH, 0},
        {Str(""), VT_BOOL, DISP_E_TYPEMISMATCH, 0},
        {R8(-0.0), VT_BOOL, S_OK, VARIANT_FALSE},
        {R8(0.4), VT_BOOL, S_OK, VARIANT_TRUE},
        {Of(VT_I4, 5), VT_BOOL, S_OK, VARIANT_TRUE},
        {mv::Variant::Date(1.0), VT_BOOL, S_OK, VARIANT_TRUE},
        {R8(1.23456), VT_CY, S_OK, 12346},
        {R8(0.00005), VT_CY, S_OK, 0},
        {R8(1.03125), VT_CY, S_OK, 10312},
        {R8(1.09375), VT_CY, S_OK, 10938},
        {R8(9e14), VT_CY, S_OK, 9000000000000000000LL},
        {R8(1e15), VT_CY, DISP_E_OVERFLOW, 0},
        {Str("$1,234.5678"), VT_CY, S_OK, 12345678},
        {Str("1e37"), VT_CY, DISP_E_OVERFLOW, 0},
        {Of(VT_CY, 25000), VT_I4, S_OK, 2},
        {Of(VT_CY, 35000), VT_I4, S_OK, 4},
        {Of(VT_CY, 15001), VT_I4, S_OK, 2},
        {Of(VT_CY, -5000), VT_I4, S_OK, 0},
        {DecVariant(1, 0, 0, 25), VT_I4, S_OK, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        mv::Variant out;
        ASSERT_EQ(VariantChangeType(&out, &c.src, 0, c.to), c.hr);
        EXPECT_EQ(out.vt, c.hr == S_OK ? c.to : VARTYPE(VT_EMPTY));
        EXPECT_EQ(c.hr == S_OK ? IntOf(out) : 0, c.value);
        // The single calls agree, and a failure leaves their output alone.
        LONG l = 77;
        if (c.to != VT_I4 || (c.src.vt != VT_R8 && c.src.vt != VT_BSTR)) continue;
        EXPECT_EQ(c.src.vt == VT_R8 ? VarI4FromR8(c.src.dblVal, &l)
                                    : VarI4FromStr(c.src.bstrVal, LCID_EN_US, 0, &l),
                  c.hr);
        EXPECT_EQ(l, c.hr == S_OK ? c.value : 77);
    }
}

// Conversions whose result is a double, a float or a date.
TEST(ConvertNumber, RealAndDateResults) {
    const struct {
        mv::Variant src;
        VARTYPE to;
        HRESULT hr;
        double value;
    } cases[] = {
        {R8(1.5), VT_R4, S_OK, 1.5},
        {R8(3.4e38), VT_R4, S_OK, 3.4e38f},
        {R8(1e39), VT_R4, DISP_E_OVERFLOW, 0},
        {R8(-1e39), VT_R4, DISP_E_OVERFLOW, 0},
        {R8(kInf), VT_R4, DISP_E_OVERFLOW, 0},
        {R8(-kInf), VT_R4, DISP_E_OVERFLOW, 0},
        {R8(kNaN), VT_R4, S_OK, kNaN},
        {mv::Variant(true), VT_R8, S_OK, -1.0},
        {mv::Variant(true), VT_DATE, S_OK, -1.0},
        {R8(45293.5), VT_DATE, S_OK, 45293.5},
        {mv::Variant::Date(45293.5), VT_R8, S_OK, 45293.5},
        {R8(3.0e6), VT_DATE, DISP_E_OVERFLOW, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        mv::Variant out;
        ASSERT_EQ(VariantChangeType(&out, &c.src, 0, c.to), c.hr);
        if (c.hr != S_OK) continue;
        ASSERT_EQ(out.vt, c.to);
        const double got = c.to == VT_R4 ? out.fltVal : out.dblVal;
        EXPECT_TRUE(std::isnan(c.value) ? std::isnan(got) : got == c.value) << got;
    }
}

TEST(ConvertNumber, ToAndFromDecimal) {
    const struct {
        mv::Variant src;
        HRESULT hr;
        BYTE scale;
        BYTE sign;
        ULONGLONG lo;
    } cases[] = {
        {R8(0.1), S_OK, 1, 0, 1},  // fifteen digits of the double, not its binary expansion
        {R8(-2.5), S_OK, 1, DECIMAL_NEG, 25},
        {R8(1e29), DISP_E_OVERFLOW, 0, 0, 0},
        {Str("123.45"), S_OK, 2, 0, 12345},
        {mv::Variant(LONG(-7)), S_OK, 0, DECIMAL_NEG, 7},
    };
    for (const auto& c : cases) {
        mv::Variant out;
        ASSERT_EQ(VariantChangeType(&out, &c.src, 0, VT_DECIMAL), c.hr);
        if (c.hr != S_OK) continue;
        EXPECT_EQ(out.decVal.scale, c.scale);
        EXPECT_EQ(out.decVal.sign, c.sign);
        EXPECT_EQ(out.decVal.Lo64, c.lo);
        EXPECT_EQ(out.decVal.Hi32, 0u);
    }
    mv::Variant i4(LONG{1});
    mv::Variant bad = DecVariant(29, 0, 0, 1);
    EXPECT_EQ(VariantChangeType(&i4, &bad, 0, VT_R8), E_INVALIDARG);
    EXPECT_EQ(i4.vt, VT_I4) << "a failed conversion changed the destination";
}

}  // namespace
