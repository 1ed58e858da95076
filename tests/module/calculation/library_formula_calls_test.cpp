// Calculations that call library formulas: a Corvex text whose discovery
// finds the formula through the module's own library class and whose run
// calls it, and a set-up from a formula object that gives no collections.
#include "../environment/library_formula_test_support.h"
#include "corvex_sim.h"
#include "frame/loaded_dlls.h"
#include "interfaces/IMvCalcOLEMethod.h"

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
        CalcUnloadLibrary();
        LibraryFormulaTest::TearDown();
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
// formula keep their reference across saves of the library file: a save of
// the same formulas at a later time changes no result, and a save without
// the formula makes the call fail with the reference's own text.
TEST_F(CorvexLibraryFormula, CallsOfALibraryFormulaKeepTheirReferenceAcrossReloads) {
    auto env = NewEnvironment();
    ASSERT_EQ(env->put_EnableStaleLibraryReload(VARIANT_TRUE), S_OK);
    const std::vector<DllFormula> formulas = {{"Forty", "ReturnFortyTwo", {}}};
    WriteLibraryFile("Lib1", formulas, 1000000);
    auto corvex = NewCalculation("Corvex");
    corvex->put_FormulaType(mvcSimpleScript_Method);
    corvex->put_ScriptText(B("Y = Forty() + 1").get());
    mv::ComPtr<IMvCalculation3> discovery;
    ASSERT_EQ(corvex.As(&discovery), S_OK);
    mv::Variant unused, unbound;
    ASSERT_EQ(discovery->CreateCorvexParams(nullptr, &unused, &unbound), S_OK);
    auto script = NewCalculation("Script");
    script->put_FormulaType(mvcVBS_Script_Method);
    script->put_ScriptText(B("Y = Forty() + 1").get());
    mv::ComPtr<IMvParameter> output;
    ASSERT_EQ(script->AddParameter(B("Y").get(), output.Put()), S_OK);
    output->put_ParameterType(mvcOutput);
    mv::ComPtr<IDispatch> added;
    ASSERT_EQ(script->AddFormulaRef(B("Forty").get(), B("Lib1").get(), added.Put()), S_OK);

    // Each run's error text and Y.
    auto run = [](IMvCalculation* calc) {
        calc->Calculate();
        mv::Bstr error;
        calc->get_ErrorText(error.Out());
        mv::ComPtr<IMvParameter> y;
        mv::Variant value;
        if (SUCCEEDED(calc->GetParameter(B("Y").get(), y.Put())) && y) y->get_Value(&value);
        return error.Utf8() + "|" + Shown(value);
    };
    const struct {
        const char* calc;
        IMvCalculation* object;
        const char* result;
        const char* missing;  // after a save without the formula
    } rows[] = {
        {"Corvex", corvex.get(), "|5:43",
         "Formula \"Forty\" failed: VBScript: Formula not set (line 1)|5:43"},
        {"VBScript", script.get(), "|3:43", "VBScript: Formula not set line 1|0:"},
    };
    for (const auto& row : rows) EXPECT_EQ(run(row.object), row.result) << row.calc;
    WriteLibraryFile("Lib1", formulas, 2000000);  // saved again, same content
    for (int i = 0; i < 3; ++i)
        for (const auto& row : rows) EXPECT_EQ(run(row.object), row.result) << row.calc << i;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.calc);
        EXPECT_EQ(ReferenceCount(row.object), 1);
        // The saved document keeps the reference.
        const fs::path file = base_ / "Calc" / (std::string(row.calc) + ".mvc");
        mv::ComPtr<IMvPersistFile> persist;
        ASSERT_EQ(mv::ComPtr<IMvCalculation>(row.object).As(&persist), S_OK);
        ASSERT_EQ(persist->SaveToFile(B(file.string()).get()), S_OK);
        mv::ComPtr<IMvCalculation> loaded;
        ASSERT_EQ(env->LoadCalculation(B(file.string()).get(), B(row.calc).get(), loaded.Put()),
                  S_OK);
        mv::ComPtr<IMvObjCollection> references;
        loaded->get_FormulaRefs(references.Put());
        EXPECT_EQ(Names(references.get()), "Forty ");
    }

    WriteLibraryFile("Lib1", {{"Other", "ReturnText", {}}}, 3000000);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.calc);
        EXPECT_EQ(run(row.object), row.missing);
        EXPECT_EQ(ReferenceCount(row.object), 1);
    }
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
