// The VARIANT operators, one table per family: each row is the operands and
// the expected type and value, or the failure.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "oleaut.h"
#include "test_support.h"

namespace {

using mv::test::CountedObject;
using mv::test::Of;
using mv::test::Raw;
using mv::test::Spec;
using mv::test::Utf8;
using mv::test::V;

using Fn = HRESULT (*)(LPVARIANT, LPVARIANT, LPVARIANT);
HRESULT Neg(LPVARIANT a, LPVARIANT, LPVARIANT r) {
    return VarNeg(a, r);
}
HRESULT Not(LPVARIANT a, LPVARIANT, LPVARIANT r) {
    return VarNot(a, r);
}

struct Row {
    Fn fn;
    const char *a, *b;  // operands; unary operators ignore b
    const char* want;   // the result, "Empty" after a failure
    HRESULT hr = S_OK;
};

void RunTable(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        mv::Variant a = V(row.a), b = V(row.b), out = V("Str:old");  // freed by the call
        EXPECT_EQ(row.fn(&a, &b, &out), row.hr) << row.a << " " << row.b;
        EXPECT_EQ(Spec(out), row.want) << row.a << " " << row.b;
    }
}

TEST(VarOperators, AddSubtractMultiplyKeepThePlatformsResultTypes) {
    RunTable({
        // Integer results move up instead of wrapping.
        {VarAdd, "I2:32767", "I2:1", "I4:32768"},
        {VarAdd, "I4:2147483647", "I4:1", "R8:2147483648"},
        {VarAdd, "UI1:255", "UI1:1", "I2:256"},
        {VarSub, "UI1:1", "UI1:2", "I2:-1"},
        {VarSub, "I2:-32768", "I2:1", "I4:-32769"},
        {VarMul, "I2:200", "I2:200", "I4:40000"},
        {VarMul, "I4:65536", "I4:65536", "R8:4294967296"},
        {VarMul, "I8:9223372036854775807", "I2:2", "Empty", DISP_E_OVERFLOW},
        {VarAdd, "I1:-128", "I1:-1", "I2:-129"},
        // Empty is 0, or "" beside a string; Booleans are Integers.
        {VarAdd, "Empty", "Empty", "I2:0"},
        {VarAdd, "Empty", "UI1:5", "UI1:5"},
        {VarAdd, "Bool:True", "Bool:True", "I2:-2"},
        {VarAdd, "Empty", "Str:x", "Str:x"},
        // Strings: two join, one beside a number is an en-US Double.
        {VarAdd, "Str:a", "Str:b", "Str:ab"},
        {VarAdd, "Str:1", "I2:2", "R8:3"},
        {VarSub, "Str:1.5", "Str:1", "R8:0.5"},
        {VarAdd, "Str:abc", "I2:1", "Empty", DISP_E_TYPEMISMATCH},
        {VarAdd, "Str:", "I2:1", "Empty", DISP_E_TYPEMISMATCH},
        {VarMul, "Str:1e400", "I2:1", "Empty", DISP_E_OVERFLOW},
        {VarAdd, "Null", "I2:1", "Null"},
        {VarSub, "Str:a", "Null", "Null"},
        // Dates stay dates beside numbers; two dates subtract to days.
        {VarAdd, "Date:45000", "I2:1", "Date:45001"},
        {VarSub, "Date:45000.5", "Str:0.5", "Date:45000"},
        {VarSub, "Date:45000", "Date:44990", "R8:10"},
        {VarAdd, "Date:2958465", "I2:1", "Empty", DISP_E_OVERFLOW},
        {VarMul, "Date:2", "I2:3", "R8:6"},
        // Currency beside integers, and beside a Double under + (not *).
        {VarAdd, "Cy:1.5", "I4:1", "Cy:2.5"},
        {VarMul, "Cy:1.5", "Cy:1.5", "Cy:2.25"},
        {VarAdd, "Cy:1", "R8:0.25", "Cy:1.25"},
        {VarMul, "Cy:1", "R8:0.25", "R8:0.25"},
        {VarAdd, "Cy:922337203685477.5807", "Cy:0.0001", "Empty", DISP_E_OVERFLOW},
        // Decimals compute exactly.
        {VarAdd, "Dec:0.1", "Dec:0.2", "Dec:0.3"},
        {VarAdd, "Dec:0.1", "R8:0.1", "Dec:0.2"},
        {VarSub, "Dec:1", "Dec:0.0000000000000000000000000001",
         "Dec:0.9999999999999999999999999999"},
        {VarMul, "Dec:12345678901234567890.5", "Dec:2", "Dec:24691357802469135781"},
        {VarAdd, "Dec:79228162514264337593543950335", "I2:1", "Empty", DISP_E_OVERFLOW},
        // Singles stay Singles until a Long joins or the range ends.
        {VarAdd, "R4:1.5", "I2:1", "R4:2.5"},
        {VarAdd, "R4:1.5", "I4:1", "R8:2.5"},
        {VarAdd, "R4:3e38", "R4:3e38", "R8:6.00000001099551E+38"},
        // Doubles: finite overflow fails, NaN and infinities compute as IEEE.
        {VarMul, "R8:1e308", "I2:10", "Empty", DISP_E_OVERFLOW},
        {VarAdd, "R8:nan", "I2:1", "R8:nan"},
        {VarSub, "R8:inf", "R8:inf", "R8:nan"},
        {VarAdd, "R8:inf", "I2:1", "R8:1.#INF"},
    });
}

TEST(VarOperators, DivisionsRemaindersAndPowers) {
    RunTable({
        {VarDiv, "I2:1", "I2:2", "R8:0.5"},
        {VarDiv, "I2:1", "I2:0", "Empty", DISP_E_DIVBYZERO},
        {VarDiv, "I2:0", "I2:0", "Empty", DISP_E_OVERFLOW},
        {VarDiv, "Empty", "Empty", "Empty", DISP_E_OVERFLOW},
        {VarDiv, "R8:nan", "I2:0", "R8:nan"},
        {VarDiv, "I4:1", "Dec:3", "Dec:0.3333333333333333333333333333"},
        {VarDiv, "Dec:7", "Dec:0.5", "Dec:14"},
        {VarDiv, "Dec:1", "Dec:0", "Empty", DISP_E_DIVBYZERO},
        {VarDiv, "Null", "I2:0", "Null"},
        // \ and Mod round half to even first, then keep the operands' integer type.
        {VarIdiv, "I2:7", "I2:2", "I2:3"},
        {VarIdiv, "UI1:7", "UI1:2", "UI1:3"},
        {VarIdiv, "R8:2.5", "I2:1", "I4:2"},
        {VarIdiv, "R8:3.5", "I2:1", "I4:4"},
        {VarIdiv, "Str:7", "I2:2", "I4:3"},
        {VarIdiv, "I2:-32768", "I2:-1", "I4:32768"},
        {VarIdiv, "I1:-128", "I1:-1", "I2:128"},
        {VarIdiv, "I4:-2147483648", "I4:-1", "Empty", DISP_E_OVERFLOW},
        {VarIdiv, "I8:-9223372036854775808", "I8:-1", "Empty", DISP_E_OVERFLOW},
        {VarIdiv, "I2:5", "I2:0", "Empty", DISP_E_DIVBYZERO},
        {VarIdiv, "I2:0", "R8:0.4", "Empty", DISP_E_DIVBYZERO},
        {VarIdiv, "R8:nan", "I2:1", "Empty", DISP_E_OVERFLOW},
        {VarMod, "I2:-7", "I2:3", "I2:-1"},
        {VarMod, "R8:5.5", "I2:4", "I4:2"},
        {VarMod, "I2:-32768", "I2:-1", "I2:0"},
        {VarMod, "I4:-2147483648", "I4:-1", "I4:0"},
        {VarMod, "I8:-9223372036854775808", "I8:-1", "I8:0"},
        {VarMod, "I2:7", "Empty", "Empty", DISP_E_DIVBYZERO},
        {VarPow, "I2:2", "I2:10", "R8:1024"},
        {VarPow, "I2:-8", "I2:3", "R8:-512"},
        {VarPow, "I2:-8", "R8:0.5", "Empty", E_INVALIDARG},
        {VarPow, "I2:0", "I2:-1", "Empty", DISP_E_DIVBYZERO},
        {VarPow, "I2:10", "I2:400", "Empty", DISP_E_OVERFLOW},
        {VarPow, "R8:nan", "I2:0", "R8:1"},
        {VarPow, "Null", "I2:2", "Null"},
        // Negation: the smallest value of each width moves up or overflows.
        {Neg, "I2:-32768", "Empty", "I4:32768"},
        {Neg, "I4:-2147483648", "Empty", "R8:2147483648"},
        {Neg, "I8:-9223372036854775808", "Empty", "Empty", DISP_E_OVERFLOW},
        {Neg, "I1:-128", "Empty", "I2:128"},
        {Neg, "Cy:-922337203685477.5808", "Empty", "Empty", DISP_E_OVERFLOW},
        {Neg, "UI1:5", "Empty", "I2:-5"},
        {Neg, "Bool:True", "Empty", "I2:1"},
        {Neg, "Empty", "Empty", "I2:0"},
        {Neg, "Null", "Empty", "Null"},
        {Neg, "Str:2", "Empty", "R8:-2"},
        {Neg, "Str:x", "Empty", "Empty", DISP_E_TYPEMISMATCH},
        {Neg, "Dec:1.5", "Empty", "Dec:-1.5"},
        {Neg, "Date:1", "Empty", "Date:-1"},
        {Neg, "Date:2958465", "Empty", "Empty", DISP_E_OVERFLOW},
        {Neg, "R4:1.5", "Empty", "R4:-1.5"},
        {Neg, "R8:nan", "Empty", "R8:nan"},
    });
}

TEST(VarOperators, LogicIsBitwiseWithThreeValuedNulls) {
    RunTable({
        {VarAnd, "Bool:True", "Bool:False", "Bool:False"},
        {VarOr, "Bool:True", "Bool:False", "Bool:True"},
        {VarXor, "Bool:True", "Bool:True", "Bool:False"},
        {VarAnd, "Null", "Bool:False", "Bool:False"},
        {VarAnd, "Bool:True", "Null", "Null"},
        {VarOr, "Null", "Bool:True", "Bool:True"},
        {VarOr, "Bool:False", "Null", "Null"},
        {VarXor, "Null", "Bool:True", "Null"},
        {VarAnd, "Null", "Null", "Null"},
        {VarAnd, "Null", "I2:0", "I2:0"},
        {VarOr, "Null", "I2:-1", "I2:-1"},
        {VarOr, "Null", "I2:5", "Null"},
        {VarAnd, "Null", "Empty", "Null"},
        {VarAnd, "I2:12", "I2:10", "I2:8"},
        {VarOr, "UI1:12", "UI1:3", "UI1:15"},
        {VarXor, "I4:65536", "I2:1", "I4:65537"},
        {VarAnd, "R8:2.5", "I2:3", "I4:2"},
        {VarAnd, "Empty", "Bool:True", "I2:0"},
        {VarAnd, "Str:True", "Bool:True", "Bool:True"},
        {VarAnd, "Str:12", "I2:10", "I4:8"},
        {VarOr, "Str:abc", "I2:1", "Empty", DISP_E_TYPEMISMATCH},
        {VarOr, "R8:1e10", "I2:1", "Empty", DISP_E_OVERFLOW},
        {Not, "Bool:True", "Empty", "Bool:False"},
        {Not, "I2:0", "Empty", "I2:-1"},
        {Not, "UI1:0", "Empty", "UI1:255"},
        {Not, "Empty", "Empty", "I2:-1"},
        {Not, "Null", "Empty", "Null"},
        {Not, "R8:1.5", "Empty", "I4:-3"},
        {Not, "Str:False", "Empty", "Bool:True"},
    });
}

TEST(VarOperators, ConcatenationUsesTheTextConversions) {
    RunTable({
        {VarCat, "Str:a", "Str:b", "Str:ab"},
        {VarCat, "I2:1", "Str:", "Str:1"},
        {VarCat, "R8:0.30000000000000004", "Str:", "Str:0.3"},
        {VarCat, "Bool:True", "Bool:False", "Str:TrueFalse"},
        {VarCat, "Null", "Str:x", "Str:x"},
        {VarCat, "I2:1", "Null", "Str:1"},
        {VarCat, "Null", "Null", "Null"},
        {VarCat, "Empty", "Empty", "Str:"},
        {VarCat, "Date:44927.5", "Str:", "Str:1/1/2023 12:00:00 PM"},
        {VarCat, "Cy:1.5", "Dec:2.50", "Str:1.52.5"},
        {VarCat, "Err:0", "Str:x", "Empty", DISP_E_TYPEMISMATCH},
    });
}

TEST(VarOperators, CatBeyondTheLongestStringAllocatesNothing) {
    // A string that claims the largest length: only its count is read.
    alignas(4) unsigned char block[8] = {};
    const DWORD bytes = 0x7FFFFFF0u;
    std::memcpy(block, &bytes, sizeof bytes);
    VARIANT huge = Raw(VT_BSTR);
    huge.bstrVal = reinterpret_cast<BSTR>(block + 4);
    mv::Variant out;
    EXPECT_EQ(VarCat(&huge, &huge, &out), E_OUTOFMEMORY);
    EXPECT_EQ(out.vt, VT_EMPTY);
}

TEST(VarOperators, CompareOrdersNumbersAndStrings) {
    struct Cmp {
        const char *a, *b;
        HRESULT want;
    };
    const Cmp rows[] = {
        {"I2:1", "I2:2", VARCMP_LT},
        {"R8:2.5", "I4:2", VARCMP_GT},
        {"I2:1", "R8:1", VARCMP_EQ},
        {"Bool:True", "I4:-1", VARCMP_EQ},
        {"I8:9223372036854775807", "I8:9223372036854775806", VARCMP_GT},
        {"Dec:0.1", "R8:0.1", VARCMP_EQ},
        {"Cy:1", "Dec:1.0000", VARCMP_EQ},
        {"Str:a", "Str:b", VARCMP_LT},
        {"Str:a", "Str:A", VARCMP_GT},
        {"Str:10", "I2:9", VARCMP_GT},
        {"Str:abc", "I2:1", DISP_E_TYPEMISMATCH},
        {"Empty", "I2:0", VARCMP_EQ},
        {"Empty", "Str:", VARCMP_EQ},
        {"Null", "I2:1", VARCMP_NULL},
        {"Str:x", "Null", VARCMP_NULL},
        // NaN is unordered: it compares as Null does.
        {"R8:nan", "I2:1", VARCMP_NULL},
        {"R8:nan", "R8:nan", VARCMP_NULL},
        {"Date:2", "R8:1.5", VARCMP_GT},
    };
    for (const Cmp& row : rows) {
        mv::Variant a = V(row.a), b = V(row.b);
        EXPECT_EQ(VarCmp(&a, &b, LOCALE_USER_DEFAULT, 0), row.want) << row.a << " " << row.b;
    }
    mv::Variant a = V("Str:a"), b = V("Str:A");
    EXPECT_EQ(VarCmp(&a, &b, LOCALE_USER_DEFAULT, NORM_IGNORECASE), VARCMP_EQ);
    EXPECT_EQ(VarCmp(&a, &b, LOCALE_USER_DEFAULT, 2), E_INVALIDARG);
}

HRESULT Cmp(LPVARIANT a, LPVARIANT b, LPVARIANT) {
    const HRESULT hr = VarCmp(a, b, LOCALE_USER_DEFAULT, 0);
    return hr == VARCMP_NULL ? S_FALSE : hr;
}
const Fn kAll[] = {VarAdd, VarSub, VarMul, VarDiv, VarIdiv, VarMod, VarPow,
                   Neg,    VarCat, VarAnd, VarOr,  VarXor,  Not,    Cmp};

TEST(VarOperators, OperandsThatAreNoValuesFailEveryOperator) {
    CountedObject failing;
    failing.fail = true;
    CountedObject unknown(false);
    SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, 1);
    // A null object, a null reference, an object whose default member fails.
    VARIANT bad[] = {Raw(VT_UNKNOWN),       Raw(VT_ERROR),         Raw(VT_RECORD),
                     Raw(VT_ARRAY | VT_I4), Raw(VT_BYREF | VT_I4), Raw(VT_DISPATCH),
                     Raw(VT_DISPATCH),      Raw(VT_UNKNOWN)};
    bad[3].parray = array;
    bad[6].pdispVal = &failing;
    bad[7].punkVal = &unknown;
    for (const Fn fn : kAll) {
        for (VARIANT& b : bad) {
            mv::Variant one = V("I2:1"), out = V("Str:old");
            EXPECT_EQ(fn(&b, &one, &out), DISP_E_TYPEMISMATCH) << b.vt;
            if (fn != Neg && fn != Not) {
                EXPECT_EQ(fn(&one, &b, &out), DISP_E_TYPEMISMATCH);
            }
            if (fn != Cmp) {
                EXPECT_EQ(out.vt, VT_EMPTY);
            }
        }
        mv::Variant x = V("I2:1");
        EXPECT_EQ(fn(nullptr, &x, &x), E_INVALIDARG);
        if (fn != Cmp) {
            EXPECT_EQ(fn(&x, &x, nullptr), E_INVALIDARG);
        }
    }
    SafeArrayDestroy(array);
    EXPECT_EQ(failing.refs, 1u);
}

TEST(VarOperators, ReferencesAndDefaultMembersAreReadThrough) {
    CountedObject object;
    object.value.vt = VT_I2, object.value.iVal = 40;
    mv::Variant viaObject = Of(VT_DISPATCH, 0);
    viaObject.pdispVal = &object;
    object.AddRef();
    SHORT two = 2;
    mv::Variant viaRef = Of(VT_BYREF | VT_I2, 0), sum, text;
    viaRef.piVal = &two;
    ASSERT_EQ(VarAdd(&viaObject, &viaRef, &sum), S_OK);
    EXPECT_EQ(Spec(sum), "I2:42");
    ASSERT_EQ(VarCat(&viaObject, &viaRef, &text), S_OK);
    EXPECT_EQ(Spec(text), "Str:402");
    EXPECT_EQ(VarCmp(&viaObject, &viaRef, 0, 0), VARCMP_GT);
    // The result may be an operand: its old value is read first, then released.
    ASSERT_EQ(VarCat(&text, &text, &text), S_OK);
    EXPECT_EQ(Utf8(text), "402402");
    viaObject.Clear();
    EXPECT_EQ(object.refs, 1u);
}

}  // namespace
