// The rows of a data set: the values GetDS_Values reads out of Data in the
// single-value and the array form, and the copy rules of Data.
#include <gtest/gtest.h>

#include <vector>

#include "child_objects_test_support.h"

namespace {

using namespace child_test;

// A 1-D array of `type` holding `items` (VARIANTs or BSTRs) from index `lower`.
mv::Variant Vector(const std::vector<mv::Variant>& items, VARTYPE type = VT_VARIANT,
                   LONG lower = 0) {
    mv::Variant out;
    out.vt = VT_ARRAY | type;
    out.parray = SafeArrayCreateVector(type, lower, static_cast<ULONG>(items.size()));
    for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i) {
        LONG index = lower + i;
        if (type == VT_VARIANT)
            SafeArrayPutElement(out.parray, &index, const_cast<mv::Variant*>(&items[i]));
        else
            SafeArrayPutElement(out.parray, &index, items[i].bstrVal);
    }
    return out;
}

mv::Variant L(LONG v) {
    return mv::Variant(v);
}

// "hr vt:text", an array as its elements in brackets.
std::string Read(IMvDataSet* set, LONG row, LONG column, LONG type, LONG array, LONG max) {
    mv::Variant value;
    SHORT level = 0, status = 0;
    const HRESULT hr = set->GetDS_Values(row, column, type, array, max, &value, &level, &status);
    std::string text =
        std::to_string(hr) + " " + std::to_string(level) + "/" + std::to_string(status) + " ";
    if (value.vt != (VT_ARRAY | VT_VARIANT)) return text + Shown(value);
    text += "[";
    for (LONG i = 0; i < static_cast<LONG>(value.parray->rgsabound[0].cElements); ++i) {
        mv::Variant element;
        SafeArrayGetElement(value.parray, &i, &element);
        text += (i ? "|" : "") + Shown(element);
    }
    return text + "]";
}

TEST(DataSetValues, GetDS_ValuesReadsTheLayoutOfData) {
    const mv::Variant threeRows =
        Vector({Vector({L(1), L(2)}), Vector({L(3), L(4)}), Vector({L(5), L(6)})});
    const mv::Variant fiveRows = Vector({L(10), L(11), L(12), L(13), L(14)});
    const mv::Variant twoRows = Vector({Vector({L(7), L(8)}), L(9)});
    mv::Variant twoDim;
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    twoDim.vt = VT_ARRAY | VT_VARIANT;
    twoDim.parray = SafeArrayCreate(VT_VARIANT, 2, bounds);
    struct Case {
        const char* name;
        mv::Variant data;
        LONG row, column, type, array, max;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"new data set", mv::Variant(), 0, 0, VT_R8, 0, 0, "0 -1/-2 5:0"},
        {"single value", L(5), 7, 3, VT_R8, 0, 0, "0 -1/-2 5:5"},
        {"single value, no conversion", mv::Variant(u"x"), 0, 0, VT_R8, 0, 0,
         "-2147467259 -1/-2 0:"},
        {"last cell", threeRows, 2, 1, VT_I4, 0, 0, "0 -1/-2 3:6"},
        {"converted cell", threeRows, 1, 0, VT_BSTR, 0, 0, "0 -1/-2 8:3"},
        {"single-value row", twoRows, 1, 5, VT_I4, 0, 0, "0 -1/-2 3:9"},
        {"column at the cell count", threeRows, 0, 2, VT_R8, 0, 0, "0 -1/-2 0:"},
        {"column above the cell count", threeRows, 0, 3, VT_R8, 0, 0, "0 -1/-2 0:"},
        {"negative column", threeRows, 0, -1, VT_R8, 0, 0, "0 -1/-2 0:"},
        {"row past the end", threeRows, 3, 0, VT_R8, 0, 0, "0 -1/-2 0:"},
        {"negative row", threeRows, -1, 0, VT_R8, 0, 0, "0 -1/-2 0:"},
        {"array of three over five", fiveRows, 4, 0, VT_I4, 1, 3, "0 -1/-2 [3:10|3:11|3:12]"},
        {"array of three over two", twoRows, 0, 0, VT_I4, 1, 3, "0 -1/-2 [3:7|3:9]"},
        {"array, column 1", twoRows, 0, 1, VT_I4, 1, 3, "0 -1/-2 [3:8|0:]"},
        {"array of every row", fiveRows, 0, 0, VT_I4, 1, 0, "0 -1/-2 [3:10|3:11|3:12|3:13|3:14]"},
        {"no rows", Vector({}), 0, 0, VT_I4, 0, 0, "-2147467259 -1/-2 0:"},
        {"no rows, array", Vector({}), 0, 0, VT_I4, 1, 3, "-2147467259 -1/-2 0:"},
        {"2-D data", twoDim, 0, 0, VT_I4, 0, 0, "-2147024809 -1/-2 0:"},
        {"BSTR data", Vector({mv::Variant(u"a")}, VT_BSTR), 0, 0, VT_I4, 0, 0,
         "-2147024809 -1/-2 0:"},
        {"BSTR row", Vector({Vector({mv::Variant(u"a")}, VT_BSTR)}), 0, 0, VT_I4, 1, 0,
         "-2147024809 -1/-2 0:"},
        {"one-based data", Vector({L(1), L(2)}, VT_VARIANT, 1), 1, 0, VT_I4, 0, 0,
         "-2147024809 -1/-2 0:"},
        {"one-based data, array", Vector({L(1), L(2)}, VT_VARIANT, 1), 0, 0, VT_I4, 1, 0,
         "-2147024809 -1/-2 0:"},
        {"one-based row", Vector({Vector({L(1), L(2)}, VT_VARIANT, 1)}), 0, 1, VT_I4, 0, 0,
         "-2147024809 -1/-2 0:"},
        {"one-based row, array", Vector({Vector({L(1), L(2)}, VT_VARIANT, 1)}), 0, 1, VT_I4, 1, 0,
         "-2147024809 -1/-2 0:"},
    };
    for (const Case& c : cases) {
        mv::ComPtr<IMvDataSet> set = As<IMvDataSet>(New<CMvDataSet>().get());
        if (c.data.vt != VT_EMPTY) {
            ASSERT_EQ(set->put_Data(c.data), S_OK) << c.name;
        }
        EXPECT_EQ(Read(set.get(), c.row, c.column, c.type, c.array, c.max), c.expected) << c.name;
    }
}

TEST(DataSetValues, DataIsCopiedInAndOutAndAFailedCopyKeepsTheRows) {
    mv::ComPtr<IMvDataSet> set = As<IMvDataSet>(New<CMvDataSet>().get());
    mv::Variant rows = Vector({L(1), L(2)});
    mv::Variant byRef;
    byRef.vt = VT_BYREF | VT_VARIANT;
    byRef.pvarVal = &rows;
    ASSERT_EQ(set->put_Data(byRef), S_OK);
    rows.Clear();
    mv::Variant got;
    ASSERT_EQ(set->get_Data(&got), S_OK);
    LONG first = 0;
    mv::Variant changed = L(99);
    SafeArrayPutElement(got.parray, &first, &changed);
    EXPECT_EQ(Read(set.get(), 0, 0, VT_I4, 1, 0), "0 -1/-2 [3:1|3:2]");

    // A reference to a reference does not copy: the rows stay.
    mv::Variant inner;
    inner.vt = VT_BYREF | VT_VARIANT;
    inner.pvarVal = &changed;
    mv::Variant outer;
    outer.vt = VT_BYREF | VT_VARIANT;
    outer.pvarVal = &inner;
    EXPECT_NE(set->put_Data(outer), S_OK);
    EXPECT_EQ(Read(set.get(), 0, 0, VT_I4, 1, 0), "0 -1/-2 [3:1|3:2]");

    mv::Variant value;
    SHORT level = 0;
    EXPECT_EQ(set->GetDS_Values(0, 0, VT_I4, 0, 0, &value, &level, nullptr), E_UNEXPECTED);
    EXPECT_EQ(set->get_Data(nullptr), E_UNEXPECTED);
}

}  // namespace
