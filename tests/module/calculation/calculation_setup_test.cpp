// A calculation set up from a library formula, the formula-detail queries,
// and the copies of a formula's copy chain that the set-up makes.
#include "calculation_test_support.h"
#include "frame/tls_slots.h"

namespace calculation_test {
namespace {

using parameter_test::NumberOf;

mv::ComPtr<IMvParameter> Param(IMvCalculation* calc, const char16_t* name, bool add = false) {
    mv::ComPtr<IMvParameter> p;
    (void)(add ? calc->AddParameter(mv::Bstr(name).get(), p.Put())
               : calc->GetParameter(mv::Bstr(name).get(), p.Put()));
    return p;
}

std::string Names(IMvCalculation* calc) {
    mv::ComPtr<IMvObjCollection> parameters;
    calc->get_Parameters(parameters.Put());
    std::string names;
    for (const auto& p : MvMembersAs<IMvParameter>(parameters.get()))
        names += (p ? parameter_test::TextOf(p.get(), &IMvParameter::get_Name) : "?") + " ";
    return names;
}

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
    EXPECT_EQ(Names(calc.get()), "ReturnValue a C ");

    EXPECT_EQ(calc->SetCalcFromFormulaP(formula.get()), S_OK);
    EXPECT_EQ(Names(calc.get()), "ReturnValue a B ");
    EXPECT_EQ(Param(calc.get(), u"A").get(), a.get());
    EXPECT_EQ(NumberOf(a.get(), &IMvParameter::get_BindingType), mvcKeldrin);
    EXPECT_EQ(parameter_test::TextOf(a.get(), &IMvParameter::get_Description), "formula A");
    mv::Variant value;
    a->get_Value(&value);
    EXPECT_EQ(value.dblVal, 5.0);
    Param(calc.get(), u"B")->get_Value(&value);
    EXPECT_EQ(value.dblVal, 7.0);
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
    for (const auto& row : rows) {
        mv::Bstr library = row.library ? mv::Bstr(row.library) : mv::Bstr();
        mv::Bstr formula = row.formula ? mv::Bstr(row.formula) : mv::Bstr();
        EXPECT_EQ(calc->IsBasedOnFormula(library.get(), formula.get()), row.expected)
            << &row - rows;
    }
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
    auto formula = NewCalculation();
    formula->put_FormulaType(mvcNoExecuteMethodDefined);
    mv::ComPtr<IMvObjCollection> formulaParameters;
    formula->get_Parameters(formulaParameters.Put());
    formulaParameters->Remove(mv::Bstr(u"ReturnValue").get());
    auto calc = NewCalculation();
    calc->put_FormulaType(mvcNoExecuteMethodDefined);
    auto oldReturn = Param(calc.get(), u"ReturnValue");
    oldReturn->put_Value(mv::Variant(5.0));
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
        auto formula = NewCalculation();
        auto x = Param(formula.get(), u"X", true);
        IMvCalculation *first = nullptr, *copy = reinterpret_cast<IMvCalculation*>(0x1);
        ASSERT_EQ(formula->AllocateCopy(&first, 0), S_OK);
        MvSetSetupCollectionMaker(&FailToMakeCollection);
        EXPECT_EQ(formula->AllocateCopy(&copy, 0), E_FAIL);
        EXPECT_EQ(copy, nullptr);
        auto calc = NewCalculation();  // the COM method hides the failure
        EXPECT_EQ(calc->SetCalcFromFormulaP(formula.get()), S_OK);
        EXPECT_EQ(Names(calc.get()), "ReturnValue ");
        MvSetSetupCollectionMaker(nullptr);

        ASSERT_EQ(formula->AllocateCopy(&copy, 0), S_OK);
        EXPECT_NE(copy, first);
        EXPECT_EQ(Names(copy), "ReturnValue X ");
        EXPECT_NE(Param(copy, u"X").get(), x.get());
        for (IMvCalculation* held : {copy, first}) {
            held->DeallocateCopy();
            held->Release();
        }
    }
    EXPECT_EQ(mv::ModuleLockCount(), alive);
    FreeTlsSlots();
}

}  // namespace
}  // namespace calculation_test
