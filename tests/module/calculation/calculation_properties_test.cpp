// The calculation's definition, result and status properties: through the
// dispatch table by name, the formula kind as text, the derived status
// values and the refusals of bad input.
#include <optional>

#include "calculation_test_support.h"

namespace calculation_test {
namespace {

using parameter_test::ExpectSame;
using parameter_test::Typed;

TEST(CalculationProperties, EveryPropertyByNameStartsAtItsInitialValueAndReadsBackWhatIsSet) {
    auto calc = NewCalculation();
    IDispatch* d = static_cast<IMvCalculation*>(calc.get());
    const mv::Variant empty = [] {
        mv::Variant v;
        v.lVal = 0;
        return v;
    }();
    struct Row {
        const char16_t* name;
        mv::Variant initial;
        std::optional<mv::Variant> set;
        // What is read after the sets, when it differs from what was set.
        std::optional<mv::Variant> back;
    };
    const std::u16string wide = u"Temp\u00e9rature \u6e29\u5ea6";
    const std::vector<Row> rows = {
        {u"Description", mv::Variant(u""), mv::Variant(wide), {}},
        {u"CreationDate", Typed(VT_DATE, 0), Typed(VT_DATE, 43968.5), {}},
        {u"ModifiedDate", Typed(VT_DATE, 0), Typed(VT_DATE, -1.25), {}},
        {u"ID", mv::Variant(u""), mv::Variant(u"jdoe"), {}},
        {u"Password", mv::Variant(LONG{0}), mv::Variant(LONG{-7}), {}},
        {u"SandBoxMode", mv::Variant(LONG{0}), mv::Variant(LONG{3}), {}},
        {u"EditOwner", mv::Variant(u""), mv::Variant(u"ed"), {}},
        {u"LibraryName", mv::Variant(u""), mv::Variant(u"Lib"), {}},
        {u"FormulaName", mv::Variant(u""), mv::Variant(u"F"), {}},
        {u"FormulaType", mv::Variant(LONG{4}), mv::Variant(LONG{99}), {}},
        {u"FormulaTypeText", mv::Variant(u"Script_Formula"), mv::Variant(u"dll_FORMULA"),
         mv::Variant(u"DLL_Formula")},
        {u"ScriptText", mv::Variant(u""), mv::Variant(u"a = 1\r\nb"), {}},
        {u"Name", mv::Variant(u""), mv::Variant(u"Calc 1"), {}},
        {u"FunctionName", mv::Variant(u""), mv::Variant(u"Fn"), {}},
        {u"DllName", mv::Variant(u""), mv::Variant(u"x.dll"), {}},
        {u"ExcelFileName", mv::Variant(u""), mv::Variant(u"b.xls"), {}},
        {u"ProgramName", mv::Variant(u""), mv::Variant(u"p.exe"), {}},
        {u"OLEObjectName", mv::Variant(u""), mv::Variant(u"A.B"), {}},
        {u"OnSchedule", Typed(VT_I2, 0), Typed(VT_I2, 1), {}},
        {u"CloseExcelAfterExecuting", Typed(VT_I2, 0), Typed(VT_I2, -2), {}},
        {u"EnableStoreAndForward", Typed(VT_BOOL, 0), Typed(VT_BOOL, -1), {}},
        {u"LastExecution", Typed(VT_DATE, 0), Typed(VT_DATE, 2.5), {}},
        {u"CalculateTime", mv::Variant(0.0), mv::Variant(0.125), {}},
        {u"BeingCalculated", mv::Variant(LONG{0}), mv::Variant(LONG{5}), {}},
        {u"Value", empty, mv::Variant(u"x"), {}},
        {u"Level", Typed(VT_I2, 0), Typed(VT_I2, -1), {}},
        {u"Status", Typed(VT_I2, 0), Typed(VT_I2, -32768), {}},
        {u"ErrorText", mv::Variant(u""), mv::Variant(u"bad"), {}},
        {u"ErrorPosition", mv::Variant(LONG{0}), mv::Variant(LONG{12}), {}},
        // Derived: after the sets above the calculation is on schedule, in
        // sandbox mode and has an error text.
        {u"CalculationStatus", Typed(VT_I2, 0), {}, Typed(VT_I2, 7)},
        {u"StoreForwardStatus", mv::Variant(u"Normal operation"), {}, {}},
        {u"IsStoreForwardHistoryMode", Typed(VT_BOOL, 0), {}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(mv::ToUtf8(row.name));
        ExpectSame(Get(d, row.name), row.initial);
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(mv::ToUtf8(row.name));
        if (row.set) {
            EXPECT_EQ(mv::DispPutPropertyByName(d, row.name, *row.set), S_OK);
        }
        ExpectSame(Get(d, row.name), row.back ? *row.back : row.set ? *row.set : row.initial);
    }
    EXPECT_EQ(Get(d, u"DravikConnect").vt, VT_DISPATCH);
    EXPECT_EQ(Get(d, u"DravikConnect").pdispVal, nullptr);
    for (const char16_t* collection : {u"Parameters", u"DataSets", u"FormulaRefs", u"OleMethods"}) {
        mv::Variant v = Get(d, collection);
        EXPECT_EQ(v.vt, VT_DISPATCH);
        EXPECT_NE(v.pdispVal, nullptr);
    }
}

TEST(CalculationProperties, FormulaKindTextDecidesOnTheWhole32BitKind) {
    auto calc = NewCalculation();
    const LONG kinds[] = {0, 1, 2, 3, 4, 5, 6, 7, 99, -1, 65540};
    const char* texts[] = {
        "None",          "EXE_Formula", "OLE_Formula", "VBS_Formula", "Script_Formula",
        "Excel_Formula", "DLL_Formula", "7",           "99",          "-1",
        "65540"};
    for (int i = 0; i < 11; ++i) {
        EXPECT_EQ(calc->put_FormulaType(kinds[i]), S_OK);
        EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_FormulaTypeText), texts[i]);
    }
}

TEST(CalculationProperties, TextThatNamesNoKindIsRefusedAndTheKindStays) {
    auto calc = NewCalculation();
    ASSERT_EQ(calc->put_FormulaType(2), S_OK);
    for (const char16_t* text :
         {u"7", u"", static_cast<const char16_t*>(nullptr), u" Excel_Formula", u"Excel"}) {
        mv::Bstr b = text ? mv::Bstr(text) : mv::Bstr();
        values_test::LogCapture log(true);
        EXPECT_EQ(calc->put_FormulaTypeText(b.get()), E_FAIL);
        EXPECT_EQ(log.Lines(), "\nCMvCalculation::put_FormulaTypeText: Method - Start\n");
        values_test::ErrorInfoText info = values_test::TakeErrorInfo();
        EXPECT_EQ(info.description, u"Invalid text value for FormulaTypeText");
        EXPECT_EQ(info.source, u"Morva.Calc.Calculation.1");
        EXPECT_EQ(info.iid, IID_IMvCalculation);
        LONG kind = 0;
        calc->get_FormulaType(&kind);
        EXPECT_EQ(kind, 2);
    }
    // Through dispatch the refusal is an exception with the same text.
    mv::Variant excel(u"Excel");
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params{&excel, &put, 1, 1};
    EXCEPINFO info{};
    EXPECT_EQ(calc->Invoke(DISPID_MvCalculation_FormulaTypeText, IID_NULL, 0, DISPATCH_PROPERTYPUT,
                           &params, nullptr, &info, nullptr),
              DISP_E_EXCEPTION);
    EXPECT_EQ(Text(info.bstrDescription), u"Invalid text value for FormulaTypeText");
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrHelpFile);
}

TEST(CalculationProperties, CalculationStatusAddsFlagsAndStoreStatesReplaceThemOnSchedule) {
    struct Row {
        LONG sandbox;
        SHORT onSchedule;
        const char16_t* error;
        LONG state;
        SHORT status;
    } rows[] = {{0, 0, u"", 5, 0},  {1, 0, u"", 2, 1},  {0, 1, u"", 3, 2},  {1, 1, u"", 4, 3},
                {0, 0, u"e", 0, 4}, {1, 0, u"e", 1, 5}, {0, 1, u"e", 2, 6}, {1, 1, u"e", 5, 7},
                {1, 1, u"", 1, 8},  {0, 1, u"", 6, 8},  {1, 1, u"", 2, 9},  {1, 0, u"", 6, 1},
                {0, 0, u"", 2, 0}};
    for (const Row& r : rows) {
        auto calc = NewCalculation();
        calc->put_SandBoxMode(r.sandbox);
        calc->put_OnSchedule(r.onSchedule);
        calc->put_ErrorText(mv::Bstr(r.error).get());
        calc->SetStoreForwardState(r.state);
        SHORT status = -1;
        EXPECT_EQ(calc->get_CalculationStatus(&status), S_OK);
        EXPECT_EQ(status, r.status) << r.sandbox << r.onSchedule << r.state;
    }
}

TEST(CalculationProperties, EachStoreForwardStateHasItsTextAndHistoryModeIsOne) {
    const std::pair<const char*, VARIANT_BOOL> states[] = {
        {"Normal operation", 0},
        {"Store - Oldest input is before the last execution time", 0},
        {"Forward - Calculating on history data", 1},
        {"Disabled", 0},
        {"No input parameters", 0},
        {"Store - At least one input parameter is uninitialized", 1},
        {"Store - Oldest input is before the next execution time", 1}};
    auto calc = NewCalculation();
    for (LONG state = 0; state < 7; ++state) {
        calc->SetStoreForwardState(state);
        EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_StoreForwardStatus), states[state].first);
        VARIANT_BOOL history = -5;
        EXPECT_EQ(calc->get_IsStoreForwardHistoryMode(&history), S_OK);
        EXPECT_EQ(history, states[state].second) << state;
    }
}

TEST(CalculationProperties, NullTextsAreEmptyAndValuesAreStoredNotReferenced) {
    auto calc = NewCalculation();
    calc->put_Name(mv::Bstr(u"x").get());
    EXPECT_EQ(calc->put_Name(nullptr), S_OK);
    EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_Name), "");
    calc->put_ErrorText(mv::Bstr(std::u16string_view(u"ab\0cd", 5)).get());
    EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText), "ab");
    EXPECT_EQ(calc->put_EnableStoreAndForward(1), S_OK);
    VARIANT_BOOL enabled = 0;
    calc->get_EnableStoreAndForward(&enabled);
    EXPECT_EQ(enabled, 1);

    // A by-reference value: the calculation keeps the value, not the pointer.
    LONG caller = 41;
    VARIANT byRef;
    byRef.vt = VT_BYREF | VT_I4;
    byRef.plVal = &caller;
    EXPECT_EQ(calc->put_Value(byRef), S_OK);
    caller = 0;
    mv::Variant value;
    calc->get_Value(&value);
    ExpectSame(value, mv::Variant(LONG{41}));
}

TEST(CalculationProperties, NullOutPointersAreRefusedWithoutAFault) {
    auto calc = NewCalculation();
    values_test::ExpectFaults({
        {"CMvCalculation::get_Name: E_UNEXPECTED\n", [&] { return calc->get_Name(nullptr); }},
        {"CMvCalculation::get_FormulaType: E_UNEXPECTED\n",
         [&] { return calc->get_FormulaType(nullptr); }},
        {"CMvCalculation::get_FormulaTypeText: E_UNEXPECTED\n",
         [&] { return calc->get_FormulaTypeText(nullptr); }},
        {"CMvCalculation::get_Parameters: E_UNEXPECTED\n",
         [&] { return calc->get_Parameters(nullptr); }},
        {"CMvCalculation::get_DravikConnect: E_UNEXPECTED\n",
         [&] { return calc->get_DravikConnect(nullptr); }},
    });
    EXPECT_EQ(calc->get_ErrorText(nullptr), E_POINTER);
    EXPECT_EQ(calc->get_Value(nullptr), E_POINTER);
    EXPECT_EQ(calc->get_Level(nullptr), E_POINTER);
    EXPECT_EQ(calc->get_CalculationStatus(nullptr), E_POINTER);
    EXPECT_EQ(calc->get_StoreForwardStatus(nullptr), E_POINTER);
    EXPECT_EQ(calc->get_IsStoreForwardHistoryMode(nullptr), S_OK);
}

}  // namespace
}  // namespace calculation_test
