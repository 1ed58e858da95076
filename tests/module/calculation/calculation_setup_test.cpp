// A calculation set up from a library formula, the formula-detail queries,
// and the copies of a formula's copy chain that the set-up makes.
#include "calculation_test_support.h"
#include "frame/tls_slots.h"

namespace calculation_test {
namespace {

using parameter_test::NumberOf;

mv::ComPtr<IMvParameter> Param(IMvCalculation* calc, const char16_t* name) {
    mv::ComPtr<IMvParameter> p;
    (void)calc->GetParameter(mv::Bstr(name).get(), p.Put());
    return p;
}

mv::ComPtr<IMvParameter> Add(IMvCalculation* calc, const char16_t* name) {
    mv::ComPtr<IMvParameter> p;
    EXPECT_EQ(calc->AddParameter(mv::Bstr(name).get(), p.Put()), S_OK);
    return p;
}

std::vector<std::string> Names(IMvCalculation* calc) {
    mv::ComPtr<IMvObjCollection> parameters;
    calc->get_Parameters(parameters.Put());
    std::vector<std::string> names;
    for (const auto& p : MvMembersAs<IMvParameter>(parameters.get()))
        names.push_back(p ? parameter_test::TextOf(p.get(), &IMvParameter::get_Name) : "?");
    return names;
}

mv::ComPtr<IMvObjCollection> Refs(IMvCalculation* calc) {
    mv::ComPtr<IMvObjCollection> refs;
    calc->get_FormulaRefs(refs.Put());
    return refs;
}

mv::ComPtr<IMvObjCollection> Methods(IMvCalculation* calc) {
    mv::ComPtr<IMvObjCollection> methods;
    calc->get_OleMethods(methods.Put());
    return methods;
}

TEST(CalculationSetup, SharedParametersKeepTheirIdentityNewOnesTakeTheDefaultOthersGo) {
    ServedClasses served;
    auto formula = NewCalculation();
    auto fa = Add(formula.get(), u"A");
    fa->put_Description(mv::Bstr(u"formula A").get());
    fa->put_ParameterType(mvcInput);
    fa->put_Type(mvcFloat);
    fa->put_Default(mv::Variant(1.5));
    auto fb = Add(formula.get(), u"B");
    fb->put_ParameterType(mvcOutput);
    fb->put_Default(mv::Variant(7.0));
    // A member that is not a parameter is skipped.
    mv::ComPtr<IMvObjCollection> formulaParameters;
    formula->get_Parameters(formulaParameters.Put());
    mv::ComPtr<IMvObjCollection> notAParameter;
    ASSERT_EQ(MvObjCollection_Create(&notAParameter), S_OK);
    EXPECT_EQ(formulaParameters->Add(mv::Bstr(u"NotAParameter").get(), notAParameter.get()), S_OK);

    auto calc = NewCalculation();
    calc->put_Name(mv::Bstr(u"Own").get());
    auto a = Add(calc.get(), u"a");
    a->put_BindingType(mvcKeldrin);
    a->put_NodeName(mv::Bstr(u"PLANT").get());
    a->put_Value(mv::Variant(5.0));
    Add(calc.get(), u"C");

    EXPECT_EQ(calc->SetCalcFromFormulaP(formula.get()), S_OK);
    EXPECT_EQ(Names(calc.get()), (std::vector<std::string>{"ReturnValue", "a", "B"}));
    auto merged = Param(calc.get(), u"A");
    EXPECT_EQ(merged.get(), a.get());
    EXPECT_EQ(NumberOf(a.get(), &IMvParameter::get_BindingType), mvcKeldrin);
    EXPECT_EQ(parameter_test::TextOf(a.get(), &IMvParameter::get_NodeName), "PLANT");
    EXPECT_EQ(parameter_test::TextOf(a.get(), &IMvParameter::get_Description), "formula A");
    EXPECT_EQ(NumberOf(a.get(), &IMvParameter::get_Type), mvcFloat);
    mv::Variant value;
    a->get_Value(&value);
    EXPECT_EQ(value.vt, VT_R8);
    EXPECT_EQ(value.dblVal, 5.0);
    auto b = Param(calc.get(), u"B");
    ASSERT_TRUE(b);
    EXPECT_NE(b.get(), fb.get());
    EXPECT_EQ(NumberOf(b.get(), &IMvParameter::get_ParameterType), mvcOutput);
    b->get_Value(&value);
    EXPECT_EQ(value.dblVal, 7.0);
    EXPECT_FALSE(Param(calc.get(), u"C"));
    EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_Name), "Own");
    EXPECT_EQ(Refs(calc.get()).get(), Refs(formula.get()).get());
}

// Every text of the definition holds "F" on the formula and "C" on the
// calculation beforehand; the row names the texts that the kind copies.
TEST(CalculationSetup, TheKindDecidesWhichDefinitionTextsAreCopied) {
    using Get = HRESULT (IMvCalculation::*)(BSTR*);
    using Put = HRESULT (IMvCalculation::*)(BSTR);
    const std::pair<Get, Put> texts[] = {
        {&IMvCalculation::get_ProgramName, &IMvCalculation::put_ProgramName},
        {&IMvCalculation::get_OLEObjectName, &IMvCalculation::put_OLEObjectName},
        {&IMvCalculation::get_ScriptText, &IMvCalculation::put_ScriptText},
        {&IMvCalculation::get_ExcelFileName, &IMvCalculation::put_ExcelFileName},
        {&IMvCalculation::get_DllName, &IMvCalculation::put_DllName},
        {&IMvCalculation::get_FunctionName, &IMvCalculation::put_FunctionName},
    };
    const struct {
        LONG kind;
        const char* copied;  // one letter per text above: F copied, C kept
    } rows[] = {{0, "CCCCCC"}, {1, "FCCCCC"}, {2, "CFCCCC"}, {3, "CCFCCC"},
                {4, "CCFCCC"}, {5, "CCCFCC"}, {6, "CCCCFF"}, {7, "CCCCCC"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.kind);
        auto formula = NewCalculation();
        auto calc = NewCalculation();
        ASSERT_EQ(formula->put_FormulaType(row.kind), S_OK);
        for (const auto& [get, put] : texts) {
            (formula.get()->*put)(mv::Bstr(u"F").get());
            (calc.get()->*put)(mv::Bstr(u"C").get());
        }
        auto ownMethods = Methods(calc.get());
        ASSERT_EQ(calc->SetCalcFromFormulaP(formula.get()), S_OK);
        LONG kind = -1;
        calc->get_FormulaType(&kind);
        EXPECT_EQ(kind, row.kind);
        std::string seen;
        for (const auto& [get, put] : texts) seen += TextOf(calc.get(), get);
        EXPECT_EQ(seen, row.copied);
        EXPECT_EQ(Refs(calc.get()).get(), Refs(formula.get()).get());
        EXPECT_EQ(Methods(calc.get()).get(),
                  row.kind == 2 ? Methods(formula.get()).get() : ownMethods.get());
    }
}

TEST(CalculationSetup, ANullFormulaIsRefusedBeforeAnythingChanges) {
    auto calc = NewCalculation();
    Add(calc.get(), u"Keep");
    auto refs = Refs(calc.get());
    values_test::LogCapture log;
    EXPECT_EQ(calc->SetCalcFromFormulaP(nullptr), E_UNEXPECTED);
    EXPECT_EQ(log.Lines(), "CMvCalculation::SetCalcFromFormulaP: E_UNEXPECTED\n");
    EXPECT_EQ(Names(calc.get()), (std::vector<std::string>{"ReturnValue", "Keep"}));
    EXPECT_EQ(Refs(calc.get()).get(), refs.get());
}

TEST(CalculationSetup, NullNamesMatchAnythingAndOthersCompareIgnoringCase) {
    auto based = NewCalculation();
    based->put_LibraryName(mv::Bstr(u"Lib1").get());
    based->put_FormulaName(mv::Bstr(u"Flow").get());
    auto plain = NewCalculation();
    const struct {
        IMvCalculation* calc;
        const char16_t* library;  // null: a null BSTR
        const char16_t* formula;
        HRESULT expected;
    } rows[] = {
        {based.get(), u"LIB1", u"flow", S_OK},
        {based.get(), u"Lib1", u"Other", S_FALSE},
        {based.get(), nullptr, u"flow", S_OK},
        {based.get(), nullptr, nullptr, S_OK},
        {based.get(), u"Lib2", nullptr, S_FALSE},
        {based.get(), u"", u"", S_FALSE},
        {plain.get(), u"", u"", S_OK},
        {plain.get(), nullptr, u"", S_OK},
        {plain.get(), u"Lib1", nullptr, S_FALSE},
    };
    for (const auto& row : rows) {
        mv::Bstr library = row.library ? mv::Bstr(row.library) : mv::Bstr();
        mv::Bstr formula = row.formula ? mv::Bstr(row.formula) : mv::Bstr();
        EXPECT_EQ(row.calc->IsBasedOnFormula(library.get(), formula.get()), row.expected)
            << (row.library ? mv::ToUtf8(row.library) : "null") << " / "
            << (row.formula ? mv::ToUtf8(row.formula) : "null");
    }
}

TEST(CalculationSetup, FormulaDetailsComeFromIndexOneAndEmptyFieldsGiveEmptyTexts) {
    auto formula = NewCalculation();
    formula->put_Name(mv::Bstr(u"Flow").get());
    formula->put_FormulaType(mvcEXE_Execute_Method);
    mv::Variant details;
    ASSERT_EQ(formula->FormulaDetailsArray(&details), S_OK);
    ASSERT_EQ(details.vt, VT_ARRAY | VT_VARIANT);
    LONG low = 0, high = 0;
    SafeArrayGetLBound(details.parray, 1, &low);
    SafeArrayGetUBound(details.parray, 1, &high);
    EXPECT_EQ(low, 1);
    EXPECT_EQ(high, 3);
    const char* expected[] = {"Flow", "", "EXE_Formula"};
    for (LONG i = 1; i <= 3; ++i) {
        mv::Variant element;
        ASSERT_EQ(SafeArrayGetElement(details.parray, &i, &element), S_OK);
        ASSERT_EQ(element.vt, VT_BSTR);
        ASSERT_NE(element.bstrVal, nullptr);
        EXPECT_EQ(mv::ToUtf8(element.bstrVal), expected[i - 1]);
    }
    mv::Bstr name, description, kind;
    EXPECT_EQ(formula->GetFormulaDetails(name.Out(), description.Out(), kind.Out()), S_OK);
    EXPECT_EQ(name.Utf8() + "|" + description.Utf8() + "|" + kind.Utf8(), "Flow||EXE_Formula");
    EXPECT_EQ(formula->FormulaDetailsArray(nullptr), E_POINTER);
}

// The run keeps no reference to a "ReturnValue" that the set-up let go: a
// formula without one leaves the calculation's Value alone.
TEST(CalculationSetup, ReplacedParametersDropTheRunCacheAndTheReturnValue) {
    auto formula = NewCalculation();
    formula->put_FormulaType(mvcNoExecuteMethodDefined);
    mv::ComPtr<IMvObjCollection> formulaParameters;
    formula->get_Parameters(formulaParameters.Put());
    formulaParameters->Remove(mv::Bstr(u"ReturnValue").get());
    Add(formula.get(), u"X");

    auto calc = NewCalculation();
    calc->put_FormulaType(mvcNoExecuteMethodDefined);
    auto oldReturn = Param(calc.get(), u"ReturnValue");
    oldReturn->put_Value(mv::Variant(5.0));
    ASSERT_EQ(calc->Calculate(), S_OK);
    ASSERT_TRUE(calc->ParamInfoSnapshot());

    ASSERT_EQ(calc->SetCalcFromFormulaP(formula.get()), S_OK);
    EXPECT_FALSE(calc->ParamInfoSnapshot());
    EXPECT_EQ(Names(calc.get()), (std::vector<std::string>{"X"}));
    oldReturn->put_Value(mv::Variant(9.0));
    ASSERT_EQ(calc->Calculate(), S_OK);
    mv::Variant value;
    calc->get_Value(&value);
    EXPECT_NE(value.vt == VT_R8 ? value.dblVal : 0.0, 9.0);
}

class SetupCollectionFailure {
public:
    SetupCollectionFailure() { MvSetSetupCollectionMaker(&Fail); }
    ~SetupCollectionFailure() { MvSetSetupCollectionMaker(nullptr); }

private:
    static HRESULT Fail(mv::ComPtr<IMvObjCollection>*) { return E_OUTOFMEMORY; }
};

TEST(CalculationSetup, CopiesCarryNewParametersAndAFailedSetUpLinksNoCopy) {
    AllocateTlsSlots();
    const LONG alive = mv::ModuleLockCount();
    {
        auto formula = NewCalculation();
        auto fx = Add(formula.get(), u"X");
        formula->put_ScriptText(mv::Bstr(u"x = 1").get());
        IMvCalculation* first = nullptr;
        ASSERT_EQ(formula->AllocateCopy(&first, 0), S_OK);
        ASSERT_EQ(first, static_cast<IMvCalculation*>(formula.get()));

        IMvCalculation* copy = reinterpret_cast<IMvCalculation*>(0x1);
        {
            SetupCollectionFailure failing;
            EXPECT_EQ(formula->AllocateCopy(&copy, 0), E_FAIL);
            EXPECT_EQ(copy, nullptr);
            // The COM method hides the failure and keeps the parameters.
            auto calc = NewCalculation();
            Add(calc.get(), u"Own");
            EXPECT_EQ(calc->SetCalcFromFormulaP(formula.get()), S_OK);
            EXPECT_EQ(Names(calc.get()), (std::vector<std::string>{"ReturnValue", "Own"}));
            EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ScriptText), "x = 1");
        }
        ASSERT_EQ(formula->AllocateCopy(&copy, 0), S_OK);
        ASSERT_NE(copy, nullptr);
        EXPECT_NE(copy, first);
        EXPECT_EQ(Names(copy), (std::vector<std::string>{"ReturnValue", "X"}));
        EXPECT_NE(Param(copy, u"X").get(), fx.get());
        EXPECT_EQ(TextOf(copy, &IMvCalculation::get_ScriptText), "x = 1");
        EXPECT_EQ(Refs(copy).get(), Refs(formula.get()).get());
        copy->DeallocateCopy();
        copy->Release();
        first->DeallocateCopy();
        first->Release();
    }
    EXPECT_EQ(mv::ModuleLockCount(), alive);
    FreeTlsSlots();
}

}  // namespace
}  // namespace calculation_test
