// Calculations that call library formulas: a Corvex text whose discovery
// finds the formula through the module's own library class and whose run
// calls it, and a set-up from a formula object that gives no collections.
#include "../environment/library_formula_test_support.h"
#include "corvex_sim.h"
#include "frame/loaded_dlls.h"
#include "interfaces/IMvCalcOLEMethod.h"
#include "library_reload_scenario.h"

namespace {

using namespace envtest;

class CorvexLibraryFormula : public LibraryFormulaTest {
protected:
    void SetUp() override {
        LibraryFormulaTest::SetUp();
        CalcUnloadLibrary();
        CorvexSim_Reset();
        ASSERT_EQ(CorvexSim_SetLibrary(CORVEXSIM_FULL), 1);
    }
    void TearDown() override {
        CorvexSim_SetLibrary(CORVEXSIM_ABSENT);
        // The cached libraries go first, then the libraries they called.
        LibraryFormulaTest::TearDown();
        CalcUnloadLibrary();
    }
};

std::string Names(IMvObjCollection* collection) {
    std::string names;
    for (const auto& member : MvMembersAs<IMvCalcName>(collection)) {
        mv::Bstr name;
        if (member) member->get_ObjectName(name.Out());
        names += name.Utf8() + " ";
    }
    return names;
}

TEST_F(CorvexLibraryFormula, DiscoveryFindsTheLibraryFormulaKeepsOnlyItsReferenceAndTheRunCallsIt) {
    WriteLibraryFile("Lib1", {{"Forty", "ReturnFortyTwo", {}}, {"Other", "ReturnText", {}}});
    auto calc = NewCalculation("Plus");
    mv::ComPtr<IDispatch> other;
    ASSERT_EQ(calc->AddFormulaRef(B("Other").get(), B("Lib1").get(), other.Put()), S_OK);
    calc->put_FormulaType(mvcSimpleScript_Method);
    calc->put_ScriptText(B("Y = Forty() + 1").get());
    mv::ComPtr<IMvCalculation3> discovery;
    ASSERT_EQ(calc.As(&discovery), S_OK);
    mv::Variant unused, unbound;
    EXPECT_EQ(discovery->CreateCorvexParams(nullptr, &unused, &unbound), S_OK);
    mv::Bstr error;
    calc->get_ErrorText(error.Out());
    EXPECT_EQ(error.Utf8(), "");
    mv::ComPtr<IMvObjCollection> parameters, references;
    calc->get_Parameters(parameters.Put());
    calc->get_FormulaRefs(references.Put());
    EXPECT_EQ(Names(parameters.get()), "ReturnValue Y ");
    EXPECT_EQ(Names(references.get()), "Forty ");

    EXPECT_EQ(calc->Calculate(), S_OK);
    calc->get_ErrorText(error.Out());
    EXPECT_EQ(error.Utf8(), "");
    mv::ComPtr<IMvParameter> y;
    ASSERT_EQ(calc->GetParameter(B("Y").get(), y.Put()), S_OK);
    mv::Variant value;
    y->get_Value(&value);
    EXPECT_EQ(Shown(value), "5:43");
}

// With reload on, a Corvex and a VBScript calculation that call a library
// formula keep their reference across saves of the library file (the
// classes served in-process; the load tests run the same through the
// registered module).
TEST_F(CorvexLibraryFormula, CallsOfALibraryFormulaKeepTheirReferenceAcrossReloads) {
    auto env = NewEnvironment();
    ExpectCallsKeepTheirReferenceAcrossLibrarySaves(env.get(), base_,
                                                    [] { return NewCalculation(); });
}

// A client's formula object that hands out no collections.
class NoCollectionsFormula : public CMvCalculation {
public:
    HRESULT get_FormulaRefs(IMvObjCollection** pVal) override { return *pVal = nullptr, S_OK; }
    HRESULT get_OleMethods(IMvObjCollection** pVal) override { return *pVal = nullptr, S_OK; }
};

TEST_F(LibraryFormulaTest, ASetUpFromAFormulaWithoutCollectionsKeepsTheCalculationsOwn) {
    for (LONG kind : {mvcSimpleScript_Method, mvcOLE_Execute_Method}) {
        SCOPED_TRACE(kind);
        auto calc = NewCalculation("Client");
        mv::ComPtr<IMvObjCollection> references, methods, referencesAfter, methodsAfter;
        calc->get_FormulaRefs(references.Put());
        calc->get_OleMethods(methods.Put());
        mv::ComPtr<mv::ComObject<NoCollectionsFormula>> formula;
        ASSERT_EQ(mv::MakeComObject(&formula), S_OK);
        formula->put_FormulaType(kind);
        EXPECT_EQ(calc->SetCalcFromFormulaP(formula.get()), S_OK);
        LONG taken = 0;
        calc->get_FormulaType(&taken);
        EXPECT_EQ(taken, kind);
        calc->get_FormulaRefs(referencesAfter.Put());
        calc->get_OleMethods(methodsAfter.Put());
        EXPECT_EQ(referencesAfter, references);
        EXPECT_EQ(methodsAfter, methods);
        mv::ComPtr<IDispatch> added, found;
        EXPECT_EQ(calc->AddFormulaRef(B("F").get(), B("Lib1").get(), added.Put()), S_OK);
        EXPECT_EQ(calc->GetFormulaRef(B("F").get(), found.Put()), S_OK);
        EXPECT_EQ(found, added);
        mv::ComPtr<IMvCalcOLEMethod> method;
        EXPECT_EQ(calc->AddOLEMethod(B("M").get(), method.Put()), S_OK);
    }
}

}  // namespace
