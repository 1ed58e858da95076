// Numbers to and from text, and numeric narrowing, through VariantChangeType
// and the single VarXxx calls.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "oleaut.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string Text(const VARIANT& v) {
    return mv::ToUtf8(std::u16string_view(v.bstrVal, SysStringLen(v.bstrVal)));
}

mv::Variant R8(double d) {
    mv::Variant v;
    v.vt = VT_R8;
    v.dblVal = d;
    return v;
}

mv::Variant Str(const char* utf8) {
    return mv::Variant(std::u16string_view(mv::ToUtf16(utf8)));
}

struct RealText {
    double value;
    const char* text;
};

// Fifteen significant digits; exponent form from 1E+15 up and below 1E-04,
// the switch-over of the "%.15G" rule the platform prints with.
const RealText kR8Text[] = {
    {1.8, "1.8"},
    {0.1 + 0.2, "0.3"},
    {1e20, "1E+20"},
    {1.5e-7, "1.5E-07"},
    {123456789012345680.0, "1.23456789012346E+17"},
    {-0.0, "0"},
    {0.0, "0"},
    {1e15, "1E+15"},
    {999999999999999.0, "999999999999999"},
    {100000000000000.0, "100000000000000"},
    {0.0001, "0.0001"},
    {0.00001, "1E-05"},
    {-2.5, "-2.5"},
    {1.0 / 3.0, "0.333333333333333"},
    {2.0 / 3.0, "0.666666666666667"},
    {-1234.5678, "-1234.5678"},
    {9999999999999999.0, "1E+16"},  // rounding carries into a new digit
    {1e-300, "1E-300"},
    // Printed as the platform's C runtime prints them.
    {kInf, "1.#INF"},
    {-kInf, "-1.#INF"},
};

TEST(ConvertText, R8PrintsFifteenSignificantDigits) {
    for (const auto& c : kR8Text) {
        SCOPED_TRACE(c.text);
        mv::Bstr direct;
        ASSERT_EQ(VarBstrFromR8(c.value, LCID_EN_US, 0, direct.Out()), S_OK);
        EXPECT_EQ(direct.Utf8(), c.text);
        mv::Variant v = R8(c.value);
        ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
        EXPECT_EQ(Text(v), c.text);
    }
}

TEST(ConvertText, R4PrintsSevenSignificantDigits) {
    const struct {
        float value;
        const char* text;
    } cases[] = {
        {654322.23456f, "654322.3"},  // stored as 654322.25: the tie rounds away from zero
        {0.5f, "0.5"},
        {0.1f, "0.1"},
        {1234567.0f, "1234567"},
        {1e7f, "1E+07"},
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

TEST(ConvertText, NaNPrintsAsTheRuntimeDoes) {
    mv::Bstr b;
    ASSERT_EQ(VarBstrFromR8(kNaN, LCID_EN_US, 0, b.Out()), S_OK);
    EXPECT_EQ(b.Utf8(), "1.#QNAN");
    ASSERT_EQ(VarBstrFromR8(-kNaN, LCID_EN_US, 0, b.Out()), S_OK);
    EXPECT_EQ(b.Utf8(), "-1.#IND");
}

struct TextToNumber {
    const char* text;
    HRESULT hr;
    double value;
};

const TextToNumber kTextToR8[] = {
    {"42", S_OK, 42},
    {"  12  ", S_OK, 12},
    {"\t-3.25 ", S_OK, -3.25},
    {"1,234,567", S_OK, 1234567},
    {"+5", S_OK, 5},
    {"5-", S_OK, -5},
    {"(5)", S_OK, -5},
    {"$1,000.50", S_OK, 1000.5},
    {"-$2", S_OK, -2},
    {"1e3", S_OK, 1000},
    {"1.5E-2", S_OK, 0.015},
    {".5", S_OK, 0.5},
    {"7.", S_OK, 7},
    {"&H1F", S_OK, 31},
    {"&hff", S_OK, 255},
    {"&O17", S_OK, 15},
    {"&H80000000", S_OK, -2147483648.0},  // a 32-bit pattern, as the platform reads it
    {"1e-94938484", S_OK, 0},
    {"0.1", S_OK, 0.1},
    {"1e400", DISP_E_OVERFLOW, 0},
    {"&H100000000", DISP_E_OVERFLOW, 0},
    {"", DISP_E_TYPEMISMATCH, 0},
    {"   ", DISP_E_TYPEMISMATCH, 0},
    {"abc", DISP_E_TYPEMISMATCH, 0},
    {"12abc", DISP_E_TYPEMISMATCH, 0},
    {"1.2.3", DISP_E_TYPEMISMATCH, 0},
    {"--1", DISP_E_TYPEMISMATCH, 0},
    {"1e", DISP_E_TYPEMISMATCH, 0},
    {"&H", DISP_E_TYPEMISMATCH, 0},
    {"&HZ", DISP_E_TYPEMISMATCH, 0},
    {",5", DISP_E_TYPEMISMATCH, 0},
    {"(5", DISP_E_TYPEMISMATCH, 0},
    {"1.#INF", DISP_E_TYPEMISMATCH, 0},
};

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
}

struct TextToInt {
    const char* text;
    VARTYPE vt;
    HRESULT hr;
    long long value;
};

// Rounding of text follows the double rules: half to even.
const TextToInt kTextToInt[] = {
    {"2147483647", VT_I4, S_OK, 2147483647},
    {"-2147483648", VT_I4, S_OK, -2147483648LL},
    {"2147483648", VT_I4, DISP_E_OVERFLOW, 0},
    {"2.5", VT_I4, S_OK, 2},
    {"3.5", VT_I4, S_OK, 4},
    {"-2.5", VT_I4, S_OK, -2},
    {"1e3", VT_I4, S_OK, 1000},
    {"32767", VT_I2, S_OK, 32767},
    {"32768", VT_I2, DISP_E_OVERFLOW, 0},
    {"-1", VT_UI1, DISP_E_OVERFLOW, 0},
    {"-0.5", VT_UI1, S_OK, 0},
    {"-0.6", VT_UI1, DISP_E_OVERFLOW, 0},
    {"255", VT_UI1, S_OK, 255},
    {"256", VT_UI1, DISP_E_OVERFLOW, 0},
    {"9223372036854775807", VT_I8, S_OK, 9223372036854775807LL},
    {"9223372036854775808", VT_I8, DISP_E_OVERFLOW, 0},
    {"1,000", VT_UI2, S_OK, 1000},
    {"x", VT_I4, DISP_E_TYPEMISMATCH, 0},
};

TEST(ConvertText, TextToIntegers) {
    for (const auto& c : kTextToInt) {
        SCOPED_TRACE(std::string(c.text) + " to vt " + std::to_string(c.vt));
        mv::Variant v = Str(c.text);
        mv::Variant out;
        ASSERT_EQ(VariantChangeType(&out, &v, 0, c.vt), c.hr);
        if (c.hr != S_OK) continue;
        ASSERT_EQ(out.vt, c.vt);
        switch (c.vt) {
            case VT_I4:
                EXPECT_EQ(out.lVal, c.value);
                break;
            case VT_I2:
                EXPECT_EQ(out.iVal, c.value);
                break;
            case VT_UI1:
                EXPECT_EQ(out.bVal, c.value);
                break;
            case VT_UI2:
                EXPECT_EQ(out.uiVal, c.value);
                break;
            case VT_I8:
                EXPECT_EQ(out.llVal, c.value);
                break;
        }
        if (c.vt == VT_I4) {
            LONG l = 0;
            const std::u16string w = mv::ToUtf16(c.text);
            EXPECT_EQ(VarI4FromStr(w.c_str(), LCID_EN_US, 0, &l), S_OK);
            EXPECT_EQ(l, c.value);
        }
    }
}

TEST(ConvertText, NullTextIsAMismatch) {
    LONG l = 0;
    DOUBLE d = 0;
    EXPECT_EQ(VarI4FromStr(nullptr, LCID_EN_US, 0, &l), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VarR8FromStr(nullptr, LCID_EN_US, 0, &d), DISP_E_TYPEMISMATCH);
}

struct DoubleToInt {
    double value;
    HRESULT hr;
    LONG result;
};

const DoubleToInt kR8ToI4[] = {
    {2.5, S_OK, 2},
    {3.5, S_OK, 4},
    {-2.5, S_OK, -2},
    {-1.5, S_OK, -2},
    {0.5, S_OK, 0},
    {0.6, S_OK, 1},
    {-0.4, S_OK, 0},
    {2147483647.49, S_OK, 2147483647},
    {2147483647.5, DISP_E_OVERFLOW, 0},
    {-2147483648.5, S_OK, -2147483647 - 1},
    {-2147483648.51, DISP_E_OVERFLOW, 0},
    {kInf, DISP_E_OVERFLOW, 0},
    {kNaN, DISP_E_OVERFLOW, 0},
};

TEST(ConvertNumber, R8ToI4RoundsHalfToEven) {
    for (const auto& c : kR8ToI4) {
        SCOPED_TRACE(c.value);
        LONG l = 77;
        EXPECT_EQ(VarI4FromR8(c.value, &l), c.hr);
        mv::Variant v = R8(c.value);
        mv::Variant out;
        EXPECT_EQ(VariantChangeType(&out, &v, 0, VT_I4), c.hr);
        if (c.hr == S_OK) {
            EXPECT_EQ(l, c.result);
            EXPECT_EQ(out.lVal, c.result);
        } else {
            EXPECT_EQ(l, 77);
        }
    }
}

struct Narrowing {
    VARTYPE from;
    long long value;
    VARTYPE to;
    HRESULT hr;
};

// The platform lets a same-size sign change wrap (VT_UINT 0xFFFFFFFF reads as
// VT_I4 -1); this port reports the overflow instead.
const Narrowing kNarrowing[] = {
    {VT_I4, 70000, VT_I2, DISP_E_OVERFLOW},
    {VT_I4, 32767, VT_I2, S_OK},
    {VT_I4, -1, VT_UI4, DISP_E_OVERFLOW},
    {VT_UI4, 0xFFFFFFFFLL, VT_I4, DISP_E_OVERFLOW},
    {VT_UINT, 0xFFFFFFFFLL, VT_INT, DISP_E_OVERFLOW},
    {VT_I2, -1, VT_UI2, DISP_E_OVERFLOW},
    {VT_I8, 1LL << 40, VT_I4, DISP_E_OVERFLOW},
    {VT_I8, -128, VT_I1, S_OK},
    {VT_I8, -129, VT_I1, DISP_E_OVERFLOW},
    {VT_I4, 255, VT_UI1, S_OK},
    {VT_I4, 256, VT_UI1, DISP_E_OVERFLOW},
    {VT_I8, 1LL << 40, VT_R8, S_OK},
    {VT_I4, 3000000, VT_DATE, DISP_E_OVERFLOW},
};

TEST(ConvertNumber, NarrowingOverflows) {
    for (const auto& c : kNarrowing) {
        SCOPED_TRACE(std::to_string(c.from) + " " + std::to_string(c.value) + " to " +
                     std::to_string(c.to));
        mv::Variant v;
        v.vt = c.from;
        v.llVal = c.value;
        if (c.from != VT_I8) v.llVal &= 0xFFFFFFFF;
        if (c.from == VT_I2) v.llVal &= 0xFFFF;
        mv::Variant out;
        EXPECT_EQ(VariantChangeType(&out, &v, 0, c.to), c.hr);
        EXPECT_EQ(out.vt, c.hr == S_OK ? c.to : VARTYPE(VT_EMPTY));
    }
}

TEST(ConvertNumber, R8ToR4KeepsNaNAndRejectsWhatDoesNotFit) {
    const struct {
        double value;
        HRESULT hr;
    } cases[] = {{1.5, S_OK},
                 {3.4e38, S_OK},
                 {1e39, DISP_E_OVERFLOW},
                 {-1e39, DISP_E_OVERFLOW},
                 {kInf, DISP_E_OVERFLOW},
                 {-kInf, DISP_E_OVERFLOW},
                 {kNaN, S_OK}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        mv::Variant v = R8(c.value);
        mv::Variant out;
        ASSERT_EQ(VariantChangeType(&out, &v, 0, VT_R4), c.hr);
        if (c.hr != S_OK) continue;
        if (std::isnan(c.value))
            EXPECT_TRUE(std::isnan(out.fltVal));
        else
            EXPECT_FLOAT_EQ(out.fltVal, static_cast<float>(c.value));
    }
}

TEST(ConvertNumber, BoolReadsMinusOneAndZero) {
    const struct {
        VARIANT_BOOL b;
        VARTYPE to;
        long long expected;
    } cases[] = {
        {VARIANT_TRUE, VT_I4, -1},
        {VARIANT_FALSE, VT_I4, 0},
        {VARIANT_TRUE, VT_I2, -1},
        {VARIANT_TRUE, VT_I8, -1},
        {VARIANT_TRUE, VT_UI2, 65535},  // true is all bits set in an
                                        // unsigned type
        {VARIANT_TRUE, VT_UI1, 255},
        {VARIANT_FALSE, VT_UI1, 0},
    };
    for (const auto& c : cases) {
        mv::Variant v(c.b == VARIANT_TRUE);
        mv::Variant out;
        ASSERT_EQ(VariantChangeType(&out, &v, 0, c.to), S_OK);
        long long got = 0;
        switch (c.to) {
            case VT_I4:
                got = out.lVal;
                break;
            case VT_I2:
                got = out.iVal;
                break;
            case VT_I8:
                got = out.llVal;
                break;
            case VT_UI2:
                got = out.uiVal;
                break;
            case VT_UI1:
                got = out.bVal;
                break;
        }
        EXPECT_EQ(got, c.expected) << "vt " << c.to;
    }
    mv::Variant t(true);
    mv::Variant d;
    ASSERT_EQ(VariantChangeType(&d, &t, 0, VT_R8), S_OK);
    EXPECT_EQ(d.dblVal, -1.0);
}

TEST(ConvertText, BoolToText) {
    const struct {
        VARIANT_BOOL b;
        USHORT flags;
        const char* text;
    } cases[] = {
        {VARIANT_TRUE, 0, "-1"},
        {VARIANT_FALSE, 0, "0"},
        {VARIANT_TRUE, VARIANT_ALPHABOOL, "True"},
        {VARIANT_FALSE, VARIANT_ALPHABOOL, "False"},
        {VARIANT_TRUE, VARIANT_LOCALBOOL, "True"},  // the en-US words
        {VARIANT_FALSE, VARIANT_ALPHABOOL | VARIANT_LOCALBOOL, "False"},
    };
    for (const auto& c : cases) {
        mv::Variant v(c.b == VARIANT_TRUE);
        mv::Variant out;
        ASSERT_EQ(VariantChangeType(&out, &v, c.flags, VT_BSTR), S_OK);
        EXPECT_EQ(Text(out), c.text);
    }
}

TEST(ConvertText, TextToBool) {
    const struct {
        const char* text;
        HRESULT hr;
        VARIANT_BOOL b;
    } cases[] = {
        {"True", S_OK, VARIANT_TRUE},     {"true", S_OK, VARIANT_TRUE},
        {" FALSE ", S_OK, VARIANT_FALSE}, {"#TRUE#", S_OK, VARIANT_TRUE},
        {"#FALSE#", S_OK, VARIANT_FALSE}, {"#True#", DISP_E_TYPEMISMATCH, 0},
        {"0", S_OK, VARIANT_FALSE},       {"-1", S_OK, VARIANT_TRUE},
        {"+1", S_OK, VARIANT_TRUE},       {"0.1", S_OK, VARIANT_TRUE},
        {"5", S_OK, VARIANT_TRUE},        {"0.0", S_OK, VARIANT_FALSE},
        {"Yes", DISP_E_TYPEMISMATCH, 0},  {"On", DISP_E_TYPEMISMATCH, 0},
        {"", DISP_E_TYPEMISMATCH, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        mv::Variant v = Str(c.text);
        mv::Variant out;
        ASSERT_EQ(VariantChangeType(&out, &v, 0, VT_BOOL), c.hr);
        if (c.hr == S_OK) {
            EXPECT_EQ(out.boolVal, c.b);
        }
    }
}

TEST(ConvertNumber, NumbersToBool) {
    const struct {
        VARTYPE vt;
        double value;
        VARIANT_BOOL b;
    } cases[] = {{VT_R8, 0.0, VARIANT_FALSE}, {VT_R8, -0.0, VARIANT_FALSE},
                 {VT_R8, 0.4, VARIANT_TRUE},  {VT_I4, 5, VARIANT_TRUE},
                 {VT_I4, 0, VARIANT_FALSE},   {VT_DATE, 1.0, VARIANT_TRUE}};
    for (const auto& c : cases) {
        mv::Variant v;
        v.vt = c.vt;
        if (c.vt == VT_I4)
            v.lVal = static_cast<LONG>(c.value);
        else
            v.dblVal = c.value;
        mv::Variant out;
        ASSERT_EQ(VariantChangeType(&out, &v, 0, VT_BOOL), S_OK);
        EXPECT_EQ(out.boolVal, c.b) << c.value;
    }
}

TEST(ConvertNumber, CurrencyToText) {
    const struct {
        LONGLONG scaled;
        const char* text;
    } cases[] = {
        {0, "0"},
        {10000, "1"},
        {15000, "1.5"},
        {-15000, "-1.5"},
        {9, "0.0009"},
        {4294967295LL, "429496.7295"},
        {9223372036854775807LL, "922337203685477.5807"},
        {-9223372036854775807LL - 1, "-922337203685477.5808"},
    };
    for (const auto& c : cases) {
        mv::Variant v;
        v.vt = VT_CY;
        v.cyVal.int64 = c.scaled;
        mv::Variant out;
        ASSERT_EQ(VariantChangeType(&out, &v, 0, VT_BSTR), S_OK);
        EXPECT_EQ(Text(out), c.text);
    }
}

TEST(ConvertNumber, CurrencyRoundsToFourDecimalsAndBack) {
    const struct {
        double value;
        HRESULT hr;
        LONGLONG scaled;
    } to_cy[] = {{1.23456, S_OK, 12346},    {-1.5, S_OK, -15000},
                 {0.00005, S_OK, 0},        {1.03125, S_OK, 10312},
                 {1.09375, S_OK, 10938},    {9e14, S_OK, 9000000000000000000LL},
                 {1e15, DISP_E_OVERFLOW, 0}};
    for (const auto& c : to_cy) {
        SCOPED_TRACE(c.value);
        mv::Variant v = R8(c.value);
        mv::Variant out;
        ASSERT_EQ(VariantChangeType(&out, &v, 0, VT_CY), c.hr);
        if (c.hr == S_OK) {
            EXPECT_EQ(out.cyVal.int64, c.scaled);
        }
    }
    const struct {
        LONGLONG scaled;
        LONG expected;
    } to_i4[] = {{25000, 2}, {35000, 4}, {-25000, -2}, {15001, 2}, {-5000, 0}};
    for (const auto& c : to_i4) {
        mv::Variant v;
        v.vt = VT_CY;
        v.cyVal.int64 = c.scaled;
        mv::Variant out;
        ASSERT_EQ(VariantChangeType(&out, &v, 0, VT_I4), S_OK);
        EXPECT_EQ(out.lVal, c.expected) << c.scaled;
    }
    mv::Variant text = Str("$1,234.5678");
    mv::Variant cy;
    ASSERT_EQ(VariantChangeType(&cy, &text, 0, VT_CY), S_OK);
    EXPECT_EQ(cy.cyVal.int64, 12345678);
    mv::Variant huge = Str("1e37");
    EXPECT_EQ(VariantChangeType(&cy, &huge, 0, VT_CY), DISP_E_OVERFLOW);
}

DECIMAL Dec(BYTE scale, BYTE sign, ULONG hi, ULONGLONG lo) {
    DECIMAL d{};
    d.scale = scale;
    d.sign = sign;
    d.Hi32 = hi;
    d.Lo64 = lo;
    return d;
}

TEST(ConvertNumber, DecimalToText) {
    const struct {
        DECIMAL dec;
        const char* text;
    } cases[] = {
        {Dec(0, 0, 0, 0), "0"},
        {Dec(3, 0, 0, 1000), "1"},
        {Dec(3, 0, 0, 1500), "1.5"},
        {Dec(1, DECIMAL_NEG, 0, 15), "-1.5"},
        {Dec(0, 0, 1, 0), "18446744073709551616"},
        {Dec(0, 0, 0xFFFFFFFF, ~0ULL), "79228162514264337593543950335"},
        {Dec(28, 0, 0xFFFFFFFF, ~0ULL), "7.9228162514264337593543950335"},
        {Dec(10, 0, 0, 1), "0.0000000001"},
        {Dec(7, 0, 0, 9000), "0.0009"},
    };
    for (const auto& c : cases) {
        mv::Variant v;
        v.decVal = c.dec;
        v.vt = VT_DECIMAL;
        mv::Variant out;
        ASSERT_EQ(VariantChangeType(&out, &v, 0, VT_BSTR), S_OK);
        EXPECT_EQ(Text(out), c.text);
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
    mv::Variant half;
    half.decVal = Dec(1, 0, 0, 25);
    half.vt = VT_DECIMAL;
    mv::Variant i4;
    ASSERT_EQ(VariantChangeType(&i4, &half, 0, VT_I4), S_OK);
    EXPECT_EQ(i4.lVal, 2);
    mv::Variant bad;
    bad.decVal = Dec(29, 0, 0, 1);
    bad.vt = VT_DECIMAL;
    EXPECT_EQ(VariantChangeType(&i4, &bad, 0, VT_R8), E_INVALIDARG);
    EXPECT_EQ(i4.vt, VT_I4) << "a failed conversion changed the destination";
}

}  // namespace
