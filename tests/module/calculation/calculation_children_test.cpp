// The calculation's children: adding and finding them by name, the
// return-value parameter, the refresh of a parameter from a library formula
// and the two parameter listings.
#include "calculation_test_support.h"

namespace calculation_test {
namespace {

using parameter_test::ExpectSame;
using parameter_test::NumberOf;

mv::ComPtr<IMvParameter> Add(IMvCalculation* calc, const char16_t* name, LONG direction) {
    mv::ComPtr<IMvParameter> p;
    EXPECT_EQ(calc->AddParameter(mv::Bstr(name).get(), p.Put()), S_OK);
    if (p && direction >= 0) p->put_ParameterType(direction);
    return p;
}

LONG CountOf(IMvCalculation* calc) {
    mv::ComPtr<IMvObjCollection> parameters;
    calc->get_Parameters(parameters.Put());
    LONG count = -1;
    parameters->get_Count(&count);
    return count;
}

// The cells of one row of the parameter-details listing.
std::vector<mv::Variant> Row(const VARIANT& rows, LONG index) {
    std::vector<mv::Variant> cells;
    mv::Variant row;
    EXPECT_EQ(SafeArrayGetElement(rows.parray, &index, &row), S_OK);
    EXPECT_EQ(row.vt, VT_ARRAY | VT_VARIANT);
    LONG low = -1, high = -1;
    SafeArrayGetLBound(row.parray, 1, &low);
    SafeArrayGetUBound(row.parray, 1, &high);
    EXPECT_EQ(low, 0);
    for (LONG i = 0; i <= high; ++i) {
        cells.emplace_back();
        SafeArrayGetElement(row.parray, &i, &cells.back());
    }
    return cells;
}

TEST(CalculationChildren, NamesFollowTheCollectionsRules) {
    auto calc = NewCalculation();
    auto temp = Add(calc.get(), u"Temp", -1);
    IMvParameter* out = reinterpret_cast<IMvParameter*>(0x1);  // must come back null
    EXPECT_EQ(calc->AddParameter(mv::Bstr(u"TEMP").get(), &out), E_FAIL);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(values_test::TakeErrorText(), u"Add: Item is already in collection");
    EXPECT_EQ(calc->AddParameter(mv::Bstr(u"ReturnValue").get(), &out), E_FAIL);

    mv::ComPtr<IMvParameter> found;
    ASSERT_EQ(calc->GetParameter(mv::Bstr(u"temp").get(), found.Put()), S_OK);
    EXPECT_EQ(found.get(), temp.get());
    EXPECT_EQ(parameter_test::TextOf(found.get(), &IMvParameter::get_Name), "Temp");
    EXPECT_EQ(NumberOf(found.get(), &IMvParameter::get_ParameterType), mvcUnUsed);
    EXPECT_EQ(NumberOf(found.get(), &IMvParameter::get_Type), mvcVariant);
    EXPECT_EQ(calc->GetParameter(mv::Bstr(u"1").get(), found.Put()), E_FAIL);
    EXPECT_EQ(found.get(), nullptr);
    EXPECT_EQ(values_test::TakeErrorText(), u"Item: Named item not found");
    EXPECT_EQ(calc->AddParameter(mv::Bstr(u"").get(), found.Put()), S_OK);
    EXPECT_EQ(calc->AddParameter(nullptr, found.Put()), E_FAIL);
    EXPECT_EQ(calc->AddParameter(mv::Bstr(u"x").get(), nullptr), E_POINTER);

    // One recipe connection, created once.
    EXPECT_EQ(calc->CreateDravikConnect(), S_OK);
    mv::ComPtr<IMvDravikConnect> first, again;
    calc->get_DravikConnect(first.Put());
    EXPECT_EQ(calc->CreateDravikConnect(), S_OK);
    calc->get_DravikConnect(again.Put());
    EXPECT_NE(first.get(), nullptr);
    EXPECT_EQ(first.get(), again.get());
    EXPECT_EQ(calc->put_DravikConnect(first.get()), S_OK);
    EXPECT_EQ(calc->put_DravikConnect(nullptr), S_OK);
    calc->get_DravikConnect(again.Put());
    EXPECT_EQ(again.get(), nullptr);
}

TEST(CalculationChildren, RemovingAllParametersLeavesOneNewReturnValue) {
    auto calc = NewCalculation();
    mv::ComPtr<IMvParameter> oldReturn;
    calc->GetParameter(mv::Bstr(u"ReturnValue").get(), oldReturn.Put());
    Add(calc.get(), u"A", mvcInput);
    Add(calc.get(), u"B", mvcOutput);
    mv::ComPtr<IMvDataSet> set;
    calc->AddDataSet(mv::Bstr(u"Set").get(), set.Put());
    EXPECT_EQ(calc->RemoveAllParameters(), S_OK);
    EXPECT_EQ(CountOf(calc.get()), 1);
    mv::ComPtr<IMvParameter> newReturn;
    ASSERT_EQ(calc->GetParameter(mv::Bstr(u"returnvalue").get(), newReturn.Put()), S_OK);
    EXPECT_NE(newReturn.get(), oldReturn.get());
    EXPECT_EQ(NumberOf(newReturn.get(), &IMvParameter::get_ParameterType), mvcReturnValue);
    EXPECT_EQ(NumberOf(newReturn.get(), &IMvParameter::get_Type), mvcVariant);
    EXPECT_EQ(calc->GetDataSet(mv::Bstr(u"Set").get(), set.Put()), S_OK);
}

TEST(CalculationChildren, RefreshFromAFormulaCopiesItsDefinitionAndKeepsWhatItDoesNotCopy) {
    auto formula = NewCalculation();
    auto source = Add(formula.get(), u"X", mvcInput);
    source->put_Default(mv::Variant(LONG{5}));
    source->put_Description(mv::Bstr(u"desc").get());
    source->put_Type(mvcFloat);
    source->put_Units(mv::Bstr(u"degC").get());
    source->put_SpreadSheetName(mv::Bstr(u"Sheet").get());
    source->put_SpreadSheetMethod(mv::Bstr(u"Macro").get());
    source->put_SpreadSheetRow(3);
    source->put_SpreadSheetColumn(4);
    source->put_EXE_RuntimeArgument(mv::Bstr(u"/a").get());

    for (bool existed : {false, true}) {
        SCOPED_TRACE(existed);
        auto calc = NewCalculation();
        if (existed) {
            auto x = Add(calc.get(), u"x", mvcOutput);
            x->put_Value(mv::Variant(LONG{7}));
            x->put_BindingType(mvcKeldrin);
            x->put_Default(mv::Variant(LONG{1}));
        }
        auto target = parameter_test::NewCollection();
        ASSERT_EQ(calc->AddParameterFromFormula(target.get(), source.get()), S_OK);
        mv::ComPtr<IDispatch> item;
        ASSERT_EQ(target->ItemByName(mv::Bstr(u"X").get(), item.Put()), S_OK);
        mv::ComPtr<IMvParameter> x;
        ASSERT_EQ(item.As(&x), S_OK);
        mv::Variant value, defaultValue;
        x->get_Value(&value);
        x->get_Default(&defaultValue);
        ExpectSame(value, mv::Variant(LONG{existed ? 7 : 5}));
        if (existed) {
            ExpectSame(defaultValue, mv::Variant(LONG{1}));
        } else {
            EXPECT_EQ(defaultValue.vt, VT_EMPTY);
        }
        EXPECT_EQ(NumberOf(x.get(), &IMvParameter::get_BindingType),
                  existed ? mvcKeldrin : mvcNone);
        EXPECT_EQ(parameter_test::TextOf(x.get(), &IMvParameter::get_Name), existed ? "x" : "X");
        for (auto get : {&IMvParameter::get_Description, &IMvParameter::get_Units,
                         &IMvParameter::get_SpreadSheetName, &IMvParameter::get_SpreadSheetMethod,
                         &IMvParameter::get_EXE_RuntimeArgument})
            EXPECT_EQ(parameter_test::TextOf(x.get(), get),
                      parameter_test::TextOf(source.get(), get));
        for (auto get : {&IMvParameter::get_ParameterType, &IMvParameter::get_Type,
                         &IMvParameter::get_SpreadSheetRow, &IMvParameter::get_SpreadSheetColumn})
            EXPECT_EQ(NumberOf(x.get(), get), NumberOf(source.get(), get));
    }
}

TEST(CalculationChildren, ParameterDetailsListOneRowOfTenCellsPerParameter) {
    auto calc = NewCalculation();
    // The caller's VARIANT held an array: it is freed, not overwritten.
    mv::Variant details;
    details.vt = VT_ARRAY | VT_I4;
    details.parray = SafeArrayCreateVector(VT_I4, 0, 3);
    ASSERT_EQ(calc->ListParameterDetails(&details), S_OK);
    ASSERT_EQ(details.vt, VT_ARRAY | VT_VARIANT);
    LONG high = -1;
    SafeArrayGetUBound(details.parray, 1, &high);
    EXPECT_EQ(high, 0);
    std::vector<mv::Variant> row = Row(details, 0);
    ASSERT_EQ(row.size(), 10u);
    const char16_t* texts[] = {u"", u"ReturnValue", u"Variant", u"ReturnValue"};
    for (int i = 0; i < 4; ++i) ExpectSame(row[i], mv::Variant(texts[i]));
    EXPECT_EQ(row[4].vt, VT_EMPTY);
    ExpectSame(row[5], mv::Variant(u""));
    EXPECT_EQ(row[6].vt, VT_EMPTY);
    EXPECT_EQ(row[7].vt, VT_EMPTY);
    ExpectSame(row[8], parameter_test::Typed(VT_I2, 0));
    ExpectSame(row[9], mv::Variant(u""));

    auto bound = Add(calc.get(), u"T", mvcInput);
    bound->put_BoundUnits(mv::Bstr(u"degC").get());
    bound->put_Status(mvcQSTATUS_BAD);
    bound->put_Value(mv::Variant(1.5));
    auto own = Add(calc.get(), u"U", mvcCommand);
    own->put_BoundUnits(mv::Bstr(u"degC").get());
    own->put_Units(mv::Bstr(u"degF").get());
    ASSERT_EQ(calc->ListParameterDetails(&details), S_OK);
    row = Row(details, 1);
    ExpectSame(row[9], mv::Variant(u"degC"));
    ExpectSame(row[8], parameter_test::Typed(VT_I2, mvcQSTATUS_BAD));
    ExpectSame(row[7], mv::Variant(1.5));
    row = Row(details, 2);
    ExpectSame(row[9], mv::Variant(u"degF"));
    ExpectSame(row[3], mv::Variant(u"Command"));
}

TEST(CalculationChildren, MarkedParametersAreListedAsUnusedInCollectionOrder) {
    auto calc = NewCalculation();
    mv::Variant list(u"old text");  // freed by the listing
    EXPECT_EQ(calc->MarkParametersUnused(), S_OK);
    EXPECT_EQ(calc->ListUnusedParameters(&list), S_OK);
    EXPECT_EQ(list.vt, VT_EMPTY);

    Add(calc.get(), u"In", mvcInput);
    Add(calc.get(), u"Cmd", mvcCommand);
    Add(calc.get(), u"Out", mvcOutput);
    EXPECT_EQ(calc->ListUnusedParameters(&list), S_OK);
    EXPECT_EQ(list.vt, VT_EMPTY);
    EXPECT_EQ(calc->MarkParametersUnused(), S_OK);
    EXPECT_EQ(calc->ListUnusedParameters(&list), S_OK);
    ASSERT_EQ(list.vt, VT_ARRAY | VT_VARIANT);
    LONG low = -1, high = -1;
    SafeArrayGetLBound(list.parray, 1, &low);
    SafeArrayGetUBound(list.parray, 1, &high);
    EXPECT_EQ(low, 0);
    ASSERT_EQ(high, 2);
    const char16_t* names[] = {u"In", u"Cmd", u"Out"};
    for (LONG i = 0; i < 3; ++i) {
        mv::Variant name;
        SafeArrayGetElement(list.parray, &i, &name);
        ExpectSame(name, mv::Variant(names[i]));
    }
    mv::ComPtr<IMvParameter> ret;
    calc->GetParameter(mv::Bstr(u"ReturnValue").get(), ret.Put());
    EXPECT_EQ(NumberOf(ret.get(), &IMvParameter::get_ParameterType), mvcReturnValue);
}

}  // namespace
}  // namespace calculation_test
