// A calculation set up from a library formula, the formula-detail queries,
// and the copies of a formula's copy chain that the set-up makes.
#include "calculation_test_support.h"
#include "frame/tls_slots.h"

namespace calculation_test {
namespace {

IMvObjCollection* Refs(IMvCalculation* calc) {
    mv::ComPtr<IMvObjCollection> refs;
    calc->get_FormulaRefs(refs.Put());
    return refs.get();  // the calculation keeps it alive
}

TEST(CalculationSetup, SharedParametersStayNewOnesTakeTheDefaultAndTheKindPicksTheTexts) {
    auto formula = NewCalculation();
    formula->put_FormulaType(mvcVBS_Script_Method);
    formula->put_ScriptText(mv::Bstr(u"script").get());
    formula->put_ProgramName(mv::Bstr(u"formula program").get());
    Param(formula.get(), u"A", true)->put_Description(mv::Bstr(u"formula A").get());
    Param(formula.get(), u"B", true)->put_Default(mv::Variant(7.0));
    mv::ComPtr<IMvObjCollection> notAParameter, formulaParameters;
    ASSERT_EQ(MvObjCollection_Create(&notAParameter), S_OK);
    formula->get_Parameters(formulaParameters.Put());
    formulaParameters->Add(mv::Bstr(u"NotAParameter").get(), notAParameter.get());

    auto calc = NewCalculation();
    calc->put_ProgramName(mv::Bstr(u"own program").get());
    auto a = Param(calc.get(), u"a", true);
    a->put_BindingType(mvcKeldrin);
    a->put_Value(mv::Variant(5.0));
    Param(calc.get(), u"C", true);
    EXPECT_EQ(calc->SetCalcFromFormulaP(nullptr), E_UNEXPECTED);
    EXPECT_EQ(ParameterNames(calc.get()), "ReturnValue a C ");

    EXPECT_EQ(calc->SetCalcFromFormulaP(formula.get()), S_OK);
    EXPECT_EQ(ParameterNames(calc.get()), "ReturnValue a B ");
    EXPECT_EQ(Param(calc.get(), u"A").get(), a.get());
    EXPECT_EQ(parameter_test::NumberOf(a.get(), &IMvParameter::get_BindingType), mvcKeldrin);
    EXPECT_EQ(parameter_test::TextOf(a.get(), &IMvParameter::get_Description), "formula A");
    EXPECT_EQ(NumberIn(a.get()), 5.0);
    EXPECT_EQ(NumberIn(Param(calc.get(), u"B").get()), 7.0);
    EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ScriptText), "script");
    EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ProgramName), "own program");
    EXPECT_EQ(Refs(calc.get()), Refs(formula.get()));

    // The on-demand kind takes the kind, parameters and references only.
    formula->put_FormulaType(mvcOnDemand_Method);
    formula->put_ScriptText(mv::Bstr(u"other").get());
    EXPECT_EQ(calc->SetCalcFromFormulaP(formula.get()), S_OK);
    EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ScriptText), "script");
}

TEST(CalculationSetup, FormulaNamesMatchIgnoringCaseAndDetailsStartAtIndexOne) {
    auto calc = NewCalculation();
    calc->put_LibraryName(mv::Bstr(u"Lib1").get());
    calc->put_FormulaName(mv::Bstr(u"Flow").get());
    const struct {
        const char16_t *library, *formula;  // null: a null BSTR
        HRESULT expected;
    } rows[] = {{u"LIB1", u"flow", S_OK}, {u"Lib1", u"Other", S_FALSE}, {nullptr, u"flow", S_OK},
                {nullptr, nullptr, S_OK}, {u"Lib2", nullptr, S_FALSE},  {u"", u"", S_FALSE}};
    for (const auto& row : rows)
        EXPECT_EQ(calc->IsBasedOnFormula(mv::Bstr(row.library).get(), mv::Bstr(row.formula).get()),
                  row.expected)
            << &row - rows;
    calc->put_Name(mv::Bstr(u"Flow").get());
    calc->put_FormulaType(mvcEXE_Execute_Method);
    mv::Variant details;
    ASSERT_EQ(calc->FormulaDetailsArray(&details), S_OK);
    ASSERT_EQ(details.vt, VT_ARRAY | VT_VARIANT);
    std::string texts;
    for (LONG i = 0; i <= 4; ++i) {
        mv::Variant element;
        if (SUCCEEDED(SafeArrayGetElement(details.parray, &i, &element)))
            texts += std::to_string(i) + mv::ToUtf8(element.bstrVal) + ";";
    }
    EXPECT_EQ(texts, "1Flow;2;3EXE_Formula;");
}

// The run keeps no reference to a "ReturnValue" that the set-up let go.
TEST(CalculationSetup, ReplacedParametersDropTheRunCacheAndTheReturnValue) {
    auto formula = NewCalculation(), calc = NewCalculation();
    mv::ComPtr<IMvObjCollection> formulaParameters;
    formula->get_Parameters(formulaParameters.Put());
    formulaParameters->Remove(mv::Bstr(u"ReturnValue").get());
    formula->put_FormulaType(mvcNoExecuteMethodDefined);
    calc->put_FormulaType(mvcNoExecuteMethodDefined);
    auto oldReturn = Param(calc.get(), u"ReturnValue");
    ASSERT_EQ(calc->Calculate(), S_OK);
    ASSERT_EQ(calc->SetCalcFromFormulaP(formula.get()), S_OK);
    EXPECT_FALSE(calc->ParamInfoSnapshot());
    oldReturn->put_Value(mv::Variant(9.0));
    ASSERT_EQ(calc->Calculate(), S_OK);
    mv::Variant value;
    calc->get_Value(&value);
    EXPECT_FALSE(value.vt == VT_R8 && value.dblVal == 9.0);
}

HRESULT FailToMakeCollection(mv::ComPtr<IMvObjCollection>*) {
    return E_OUTOFMEMORY;
}

TEST(CalculationSetup, CopiesCarryNewParametersAndAFailedSetUpLinksNoCopy) {
    AllocateTlsSlots();
    const LONG alive = mv::ModuleLockCount();
    {
        auto formula = NewCalculation(), calc = NewCalculation();
        auto x = Param(formula.get(), u"X", true);
        IMvCalculation *first = nullptr, *copy = reinterpret_cast<IMvCalculation*>(0x1);
        ASSERT_EQ(formula->AllocateCopy(&first, 0), S_OK);
        MvSetSetupCollectionMaker(&FailToMakeCollection);
        EXPECT_EQ(formula->AllocateCopy(&copy, 0), E_FAIL);
        EXPECT_EQ(copy, nullptr);
        EXPECT_EQ(calc->SetCalcFromFormulaP(formula.get()), S_OK);  // hides the failure
        EXPECT_EQ(ParameterNames(calc.get()), "ReturnValue ");
        MvSetSetupCollectionMaker(nullptr);

        ASSERT_EQ(formula->AllocateCopy(&copy, 0), S_OK);
        EXPECT_NE(copy, first);
        EXPECT_EQ(ParameterNames(copy), "ReturnValue X ");
        EXPECT_NE(Param(copy, u"X").get(), x.get());
        for (IMvCalculation* held : {copy, first}) held->DeallocateCopy(), held->Release();
    }
    EXPECT_EQ(mv::ModuleLockCount(), alive);
    FreeTlsSlots();
}

}  // namespace
}  // namespace calculation_test
