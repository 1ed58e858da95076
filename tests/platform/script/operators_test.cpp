// The interpreter's operators give what the value model's operators give,
// for every pair of a table of values and both as variables and as named
// items' default values: the same result, type and error. A For counter
// steps through the types the addition gives.
#include <gtest/gtest.h>

#include <string>

#include "script_test_support.h"

namespace {

using mv::test::Spec;
using mv::test::V;

struct OperatorRow {
    const char* spelling;
    HRESULT (*apply)(VARIANT* l, VARIANT* r, VARIANT* out);
};

template <mv::script::Comparison Op>
HRESULT CompareAs(VARIANT* l, VARIANT* r, VARIANT* out) {
    return mv::script::Compare(Op, *l, *r, out);
}

const OperatorRow kOperators[] = {
    {"+", VarAdd},
    {"-", VarSub},
    {"*", VarMul},
    {"/", VarDiv},
    {"\\", VarIdiv},
    {"Mod", VarMod},
    {"^", VarPow},
    {"=", CompareAs<mv::script::Comparison::Equal>},
    {"<>", CompareAs<mv::script::Comparison::NotEqual>},
    {"<", CompareAs<mv::script::Comparison::Less>},
    {"<=", CompareAs<mv::script::Comparison::LessEqual>},
    {">", CompareAs<mv::script::Comparison::Greater>},
    {">=", CompareAs<mv::script::Comparison::GreaterEqual>},
};

const char* const kValues[] = {
    "I2:0",     "I2:1",      "I2:-1",         "I2:7",           "I2:32767", "I2:-32768", "I4:65536",
    "I4:-3",    "I4:46341",  "I4:2147483647", "I4:-2147483648", "R8:0",     "R8:-2.5",   "R8:0.5",
    "R8:1e308", "R8:-1e308", "R8:inf",        "R8:nan",         "Str:4",    "Bool:True", "Empty",
};

TEST(ScriptOperators, GiveTheValueModelsResults) {
    mv::ComPtr<mv::ComObject<CTestItem>> r, x, y;
    ASSERT_EQ(mv::MakeComObject(&r), S_OK);
    ASSERT_EQ(mv::MakeComObject(&x), S_OK);
    ASSERT_EQ(mv::MakeComObject(&y), S_OK);
    TestSite site;
    site.items[u"R"] = static_cast<ITestItem*>(r.get());
    site.items[u"X"] = static_cast<ITestItem*>(x.get());
    site.items[u"Y"] = static_cast<ITestItem*>(y.get());
    for (const OperatorRow& op : kOperators) {
        for (const char* left : kValues) {
            for (const char* right : kValues) {
                mv::Variant a = V(left), b = V(right), want;
                const HRESULT hr = op.apply(&a, &b, &want);
                const std::string wanted =
                    SUCCEEDED(hr) ? Spec(want)
                                  : "error " + std::to_string(mv::script::ErrorNumber(hr));
                x->value = V(left), y->value = V(right);
                const std::string op_ = std::string(" ") + op.spelling + " ";
                for (const std::string& script :
                     {"R = X" + op_ + "Y", "a = X : b = Y : R = a" + op_ + "b"}) {
                    r->value = V("Str:unset");
                    site.errors.clear();
                    RunScript(script.c_str(), site);
                    const std::string got =
                        site.errors.empty()
                            ? Spec(r->value)
                            : "error " + std::to_string(site.errors[0].scode & 0xFFFF);
                    EXPECT_EQ(got, wanted) << left << op_ << right << " in " << script;
                }
            }
        }
    }
}

TEST(ScriptOperators, ForCountersStepAsTheAdditionDoes) {
    struct Row {
        const char* script;
        const char* want;
    };
    const Row rows[] = {
        {"For i = 32766 To 32768 : Next : R = i", "I4:32769"},
        {"For i = 2147483646 To 2147483647 : Next : R = i", "R8:2147483648"},
        {"For i = 1 To 2 Step 0.5 : n = n + 1 : Next : R = i & \"/\" & n", "Str:2.5/3"},
        {"For i = 10 To 1 Step -3 : s = s & i : Next : R = s & \"/\" & i", "Str:10741/-2"},
        {"For i = 1 To 5 : i = \"5\" : Next : R = i", "R8:6"},
        {"For i = 1 To 3 : Set i = R : i = 3 : Next", "I2:4"},
    };
    mv::ComPtr<mv::ComObject<CTestItem>> r;
    ASSERT_EQ(mv::MakeComObject(&r), S_OK);
    TestSite site;
    site.items[u"R"] = static_cast<ITestItem*>(r.get());
    for (const Row& row : rows) {
        r->value = V("Str:unset");
        site.errors.clear();
        RunScript(row.script, site);
        EXPECT_TRUE(site.errors.empty()) << row.script;
        EXPECT_EQ(Spec(r->value), row.want) << row.script;
    }
}

}  // namespace
