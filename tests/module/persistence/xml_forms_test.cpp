// The class-name table and the value helpers of the XML form.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <new>
#include <string>

#include "../../support/failing_new.h"
#include "interfaces/MvMorvaCalc_ids.h"
#include "persistence/persist_xml.h"

namespace {

std::u16string TextOf(const VARIANT& v) {
    return v.vt == VT_BSTR ? std::u16string(mv::Bstr(v.bstrVal).view()) : u"<not a string>";
}

TEST(XmlClassNames, EveryClassHasItsElementNameBothWays) {
    struct Row {
        const CLSID* clsid;
        const char16_t* name;
    };
    const Row rows[] = {
        {&CLSID_MvCalculation, u"LibFormula"},      {&CLSID_MvParameter, u"Parameter"},
        {&CLSID_MvObjCollection, u"ObjCollection"}, {&CLSID_MvDataSet, u"DataSet"},
        {&CLSID_MvDataSetColumn, u"DataSetColumn"}, {&CLSID_MvScheduleGroup, u"ScheduleGroup"},
        {&CLSID_MvFormulaLibrary, u"Library"},      {&CLSID_MvEngUnit, u"EngUnit"},
        {&CLSID_MvEngUnitType, u"EngUnitType"},     {&CLSID_MvFormulaRef, u"CalcFormula"},
        {&CLSID_MvCalcOLEMethod, u"CalcOLEMethod"}, {&CLSID_MvCalcOLEArg, u"CalcOLEArg"},
        {&CLSID_MvCalculationRef, u"Calculation"},  {&CLSID_MvCalcEnvironment, u"CalcEnvironment"},
        {&CLSID_MvDravikConnect, u"DravikConnect"},
    };
    static_assert(std::size(rows) == kPersistClassNameCount);
    for (const Row& row : rows) {
        CLSID found{};
        EXPECT_EQ(GetID(row.name, &found), S_OK) << mv::ToUtf8(row.name);
        EXPECT_TRUE(IsEqualGUID(found, *row.clsid)) << mv::ToUtf8(row.name);
        mv::Bstr back;
        EXPECT_EQ(GetNodeName(*row.clsid, back.Out()), S_OK);
        EXPECT_EQ(back.view(), row.name);
    }
}

TEST(XmlClassNames, UnknownNamesAndClassesFail) {
    for (const char16_t* name :
         {u"parameter", u"Parameter ", u"", u"ObjCollectio", u"EngUnitTypes"}) {
        CLSID found = CLSID_MvEngUnit;
        EXPECT_EQ(GetID(name, &found), E_FAIL) << mv::ToUtf8(name);
    }
    CLSID none{};
    EXPECT_EQ(GetID(nullptr, &none), E_FAIL);
    for (const CLSID* clsid : {&CLSID_NULL, &CLSID_MvCalcValue, &CLSID_MvCalcSampleInfo}) {
        BSTR untouched = reinterpret_cast<BSTR>(uintptr_t{0x1});
        EXPECT_EQ(GetNodeName(*clsid, &untouched), E_FAIL);
        EXPECT_EQ(untouched, reinterpret_cast<BSTR>(uintptr_t{0x1}));
    }
}

TEST(XmlValueText, EachTypeHasItsDataTypeAndText) {
    struct Case {
        const char* what;
        mv::Variant value;
        const char16_t* dataType;
        const char16_t* text;
    };
    auto make = [](VARTYPE vt, auto set) {
        mv::Variant v;
        v.vt = vt;
        set(v);
        return v;
    };
    SYSTEMTIME st{2024, 1, 0, 31, 14, 5, 9, 700};
    DATE when = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&st, &when));
    constexpr double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {"empty", mv::Variant(), u"char", u""},
        {"r4", make(VT_R4, [](VARIANT& v) { v.fltVal = 0.5f; }), u"r4", u"0.5"},
        {"+inf", mv::Variant(inf), u"r8", u"2146435072"},
        {"-inf", mv::Variant(-inf), u"r8", u"4293918720"},
        {"single -inf",
         make(VT_R4, [](VARIANT& v) { v.fltVal = -std::numeric_limits<float>::infinity(); }), u"r4",
         u"4293918720"},
        {"quiet NaN", mv::Variant(std::bit_cast<double>(uint64_t{0x7FF8000000000000})), u"r8",
         u"2146959360"},
        {"negative NaN", mv::Variant(std::bit_cast<double>(uint64_t{0xFFF8000000000000})), u"r8",
         u"4294443008"},
        {"NaN with payload", mv::Variant(std::bit_cast<double>(uint64_t{0x7FF8000400000000})),
         u"r8", u"2146959364"},
        // Its upper word alone would read as an infinity: the quiet bit is added.
        {"NaN with a lower-word payload",
         mv::Variant(std::bit_cast<double>(uint64_t{0xFFF0000000000002})), u"r8", u"4294443008"},
        {"date drops the milliseconds", mv::Variant::Date(when), u"dateTime",
         u"2024-01-31T14:05:09"},
        {"false", mv::Variant(false), u"boolean", u"0"},
        {"string", mv::Variant(u"a\tb"), u"string", u"a\tb"},
    };
    for (const Case& c : cases) {
        mv::Variant type;
        MvPersistXML_DataTypeName(&c.value, &type);
        EXPECT_EQ(TextOf(type), c.dataType) << c.what;
        mv::Variant text(u"old");
        EXPECT_EQ(MvPersistXML_VariantToText(&text, &c.value), S_OK) << c.what;
        EXPECT_EQ(TextOf(text), c.text) << c.what;
    }
}

TEST(XmlValueText, FailuresLeaveTheOutValueOrReportTheConversion) {
    mv::Variant badDate = mv::Variant::Date(1.0e9);
    mv::Variant out(LONG{42});
    EXPECT_EQ(MvPersistXML_VariantToText(&out, &badDate), E_FAIL);
    EXPECT_EQ(out.vt, VT_I4);
    EXPECT_EQ(out.lVal, 42);

    mv::Variant null;
    null.vt = VT_NULL;
    mv::Variant type;
    MvPersistXML_DataTypeName(&null, &type);
    EXPECT_EQ(TextOf(type), u"string");
    EXPECT_TRUE(FAILED(MvPersistXML_VariantToText(&out, &null)));
}

// Running out of memory is reported, the value left as it was: an element
// saved with an empty text or data type, or loaded with its line ends
// unrepaired, would pass for the value. Every request is failed in turn.
TEST(XmlValueText, RunningOutOfMemoryIsReportedAndLeavesTheValue) {
    if (!mv_test::CanFailCAllocator()) GTEST_SKIP() << "the C allocator cannot fail here";
    const mv::Variant yes(true);
    const mv::Variant when = mv::Variant::Date(45322.5);
    const struct {
        const char* what;
        mv::Variant initial;
        std::function<HRESULT(VARIANT*)> call;
        std::u16string made;
    } rows[] = {
        {"boolean text", mv::Variant(u"old"),
         [&](VARIANT* v) { return MvPersistXML_VariantToText(v, &yes); }, u"1"},
        {"date text", mv::Variant(u"old"),
         [&](VARIANT* v) { return MvPersistXML_VariantToText(v, &when); }, u"2024-01-31T12:00:00"},
        {"data type name", mv::Variant(u"old"),
         [&](VARIANT* v) { return MvPersistXML_DataTypeName(&yes, v); }, u"boolean"},
        {"line ends", mv::Variant(u"a\nb"),
         [](VARIANT* v) { return MvPersist_NormalizeLineEnds(v); }, u"a\r\nb"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        bool reported = false;
        for (size_t k = 1; k < 64; ++k) {
            mv::Variant value(row.initial);
            HRESULT hr = E_FAIL;
            bool threw = false;
            {
                mv_test::FailingNthNew failing(k, mv_test::Allocator::C);
                try {
                    hr = row.call(&value);
                } catch (const std::bad_alloc&) {
                    threw = true;
                }
            }
            if (threw) continue;
            if (hr == S_OK) {
                EXPECT_EQ(TextOf(value), row.made) << "allocation " << k;
                break;
            }
            EXPECT_EQ(hr, E_OUTOFMEMORY) << "allocation " << k;
            EXPECT_EQ(TextOf(value), TextOf(row.initial)) << "allocation " << k;
            reported = true;
        }
        EXPECT_TRUE(reported);
    }
}

TEST(XmlLineEnds, EveryLoneLineFeedGetsACarriageReturn) {
    struct Case {
        std::u16string in, out;
    };
    const Case cases[] = {
        {u"", u""},
        {u"plain", u"plain"},
        {u"\n", u"\r\n"},
        {u"a\nb\n", u"a\r\nb\r\n"},
        {u"a\r\nb", u"a\r\nb"},
        {u"\r\r\n\n\n", u"\r\r\n\r\n\r\n"},
        {u"lone\rcr", u"lone\rcr"},
    };
    for (const Case& c : cases) {
        mv::Variant v(std::u16string_view(c.in));
        MvPersist_NormalizeLineEnds(&v);
        ASSERT_EQ(v.vt, VT_BSTR);
        EXPECT_EQ(TextOf(v), c.out) << mv::ToUtf8(c.in);
        EXPECT_EQ(SysStringLen(v.bstrVal), c.out.size());
    }
    mv::Variant number(LONG{10});
    MvPersist_NormalizeLineEnds(&number);
    EXPECT_EQ(number.vt, VT_I4);
    EXPECT_EQ(number.lVal, 10);
}

}  // namespace
