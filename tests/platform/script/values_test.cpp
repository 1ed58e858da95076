// The script value model: the comparison, truth and index rules and the
// error table, one table each.
#include <gtest/gtest.h>

#include "../oleaut/test_support.h"
#include "script.h"

namespace {

using mv::test::CountedObject;
using mv::test::Of;
using mv::test::V;

mv::Variant Object(CountedObject& o) {
    mv::Variant v = Of(VT_DISPATCH, 0);
    v.pdispVal = &o;
    o.AddRef();
    return v;
}

TEST(ScriptValues, ComparisonFollowsTheLanguageTableThenVarCmp) {
    CountedObject five;
    five.value.vt = VT_I2, five.value.iVal = 5;
    struct Row {
        mv::Variant a, b;
        HRESULT order;
    };
    const Row rows[] = {
        {V("I2:1"), V("Str:1"), VARCMP_LT},  // a number is less than any string
        {V("Str:1"), V("R8:2"), VARCMP_GT},
        {V("Bool:True"), V("Str:a"), VARCMP_LT},
        {V("Empty"), V("I2:0"), VARCMP_EQ},
        {V("Empty"), V("Str:"), VARCMP_EQ},
        {V("Empty"), V("Empty"), VARCMP_EQ},
        {V("Empty"), V("I2:-1"), VARCMP_GT},
        {V("Null"), V("Empty"), VARCMP_NULL},
        {V("Str:abc"), V("Str:ABC"), VARCMP_GT},  // case-sensitive
        {V("I2:2"), V("R8:10"), VARCMP_LT},
        {Object(five), V("I2:5"), VARCMP_EQ},
        {Object(five), V("Str:5"), VARCMP_LT},
        {V("Err:0"), V("I2:1"), DISP_E_TYPEMISMATCH},
    };
    for (const Row& row : rows)
        EXPECT_EQ(mv::script::CompareValues(row.a, row.b), row.order) << &row - rows;

    using mv::script::Comparison;
    struct Op {
        Comparison op;
        mv::Variant a, b;
        VARTYPE vt;
        bool truth;
    };
    const Op ops[] = {
        {Comparison::Less, V("I2:1"), V("Str:1"), VT_BOOL, true},
        {Comparison::GreaterEqual, V("I2:1"), V("I2:1"), VT_BOOL, true},
        {Comparison::NotEqual, V("Empty"), V("Str:"), VT_BOOL, false},
        {Comparison::LessEqual, V("I2:2"), V("I2:1"), VT_BOOL, false},
        {Comparison::Equal, V("Null"), V("Null"), VT_NULL, false},
    };
    for (const Op& row : ops) {
        mv::Variant out;
        ASSERT_EQ(mv::script::Compare(row.op, row.a, row.b, &out), S_OK);
        EXPECT_EQ(out.vt, row.vt) << &row - ops;
        if (row.vt == VT_BOOL) {
            EXPECT_EQ(out.boolVal != 0, row.truth) << &row - ops;
        }
    }
}

TEST(ScriptValues, TruthOfAConditionAndIndexes) {
    CountedObject yes, broken;
    yes.value.vt = VT_BSTR, yes.value.bstrVal = SysAllocString(u"True");
    broken.fail = true;
    struct Row {
        mv::Variant v;
        HRESULT hr;
        bool truth;
    };
    const Row rows[] = {
        {V("I2:0"), S_OK, false},
        {V("R8:0.5"), S_OK, true},
        {V("R8:nan"), S_OK, true},
        {V("Str:True"), S_OK, true},
        {V("Str: false "), S_OK, false},
        {V("Str:-1"), S_OK, true},
        {V("Str:abc"), DISP_E_TYPEMISMATCH, false},
        {V("Empty"), S_OK, false},
        {V("Null"), S_OK, false},
        {Object(yes), S_OK, true},
        {Object(broken), DISP_E_TYPEMISMATCH, false},
        {Of(VT_DISPATCH, 0), DISP_E_TYPEMISMATCH, false},
        {V("Err:0"), DISP_E_TYPEMISMATCH, false},
    };
    for (const Row& row : rows) {
        bool truth = !row.truth;
        EXPECT_EQ(mv::script::IsTrue(row.v, &truth), row.hr) << &row - rows;
        if (row.hr == S_OK) {
            EXPECT_EQ(truth, row.truth) << &row - rows;
        }
    }

    struct Index {
        mv::Variant v;
        HRESULT hr;
        LONG value;
    };
    const Index indexes[] = {
        {V("R8:2.5"), S_OK, 2},
        {V("R8:3.5"), S_OK, 4},
        {V("Str:7"), S_OK, 7},
        {V("Empty"), S_OK, 0},
        {V("Null"), mv::script::ErrorScode(94), 0},
        {V("Str:x"), DISP_E_TYPEMISMATCH, 0},
        {V("R8:1e10"), DISP_E_OVERFLOW, 0},
    };
    for (const Index& row : indexes) {
        LONG value = -99;
        EXPECT_EQ(mv::script::ToIndex(row.v, &value), row.hr) << &row - indexes;
        if (row.hr == S_OK) {
            EXPECT_EQ(value, row.value) << &row - indexes;
        }
    }
}

TEST(ScriptValues, FailuresMapToScriptErrors) {
    struct Row {
        HRESULT failure;
        LONG number;
        const char* description;
    };
    const Row rows[] = {
        {DISP_E_TYPEMISMATCH, 13, "Type mismatch"},
        {DISP_E_OVERFLOW, 6, "Overflow"},
        {DISP_E_DIVBYZERO, 11, "Division by zero"},
        {E_OUTOFMEMORY, 7, "Out of memory"},
        {DISP_E_BADINDEX, 9, "Subscript out of range"},
        {E_INVALIDARG, 5, "Invalid procedure call or argument"},
        {mv::script::ErrorScode(94), 94, "Invalid use of Null"},
        {static_cast<HRESULT>(0x800A0033), 51, ""},  // a script error keeps its number
        {E_FAIL, E_FAIL, ""},                        // anything else keeps its HRESULT
    };
    for (const Row& row : rows) {
        const LONG number = mv::script::ErrorNumber(row.failure);
        EXPECT_EQ(number, row.number) << row.description;
        EXPECT_EQ(mv::ToUtf8(mv::script::ErrorDescription(number)), row.description);
    }
    EXPECT_EQ(static_cast<ULONG>(mv::script::ErrorScode(13)), 0x800A000Du);
}

}  // namespace
