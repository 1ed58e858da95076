// Library formulas reached by name through the module's own library class:
// the look-up across the temporary library and the library files, the
// script-function call of a reference with its arguments, the clearing of
// held formulas along a copy chain, and stale-library reload.
#include "library_formula_test_support.h"

namespace {

using namespace envtest;

// Arguments as a script engine passes them; none owns what it points to.
VARIANT ByReference(VARTYPE type, void* target) {
    VARIANT argument{};
    argument.vt = VT_BYREF | type;
    argument.byref = target;
    return argument;
}
VARIANT Object(IDispatch* object) {
    VARIANT argument{};
    argument.vt = VT_DISPATCH;
    argument.pdispVal = object;
    return argument;
}

TEST_F(LibraryFormulaTest, GetFormulaTakesANameHeldOnceAndCountsTheLibrariesOtherwise) {
    WriteLibraryFile("Lib1", {{"Flow", "ReturnFortyTwo", {}}, {"Both", "ReturnFortyTwo", {}}});
    WriteLibraryFile("Lib2", {{"Both", "ReturnText", {}}, {"Temp", "ReturnText", {}}});
    std::ofstream(base_ / "Lib" / "Broken.mvc") << "not a compound file";
    WriteCalc("NotALibrary", [](IMvCalculation* c) { UseDllFunction(c, "ReturnText"); });
    fs::copy_file(base_ / "Calc" / "NotALibrary.mvc", base_ / "Lib" / "NotALibrary.mvc");
    auto env = NewEnvironment();
    mv::ComPtr<IMvFormulaLibrary> temporary;
    ASSERT_EQ(env->CreateTemporaryLibrary(temporary.Put()), S_OK);
    mv::ComPtr<IMvCalculation> temp;
    ASSERT_EQ(temporary->AddFormula(B("Temp").get(), temp.Put()), S_OK);
    UseDllFunction(temp.get(), "ReturnFortyTwo");

    auto calc = NewCalculation("Caller");
    mv::ComPtr<IDispatch> ghost;
    ASSERT_EQ(calc->AddFormulaRef(B("Ghost").get(), B("Gone").get(), ghost.Put()), S_OK);
    const struct {
        const char* name;
        LONG count;
        LONG references;      // in FormulaRefs afterwards
        const char* library;  // of the reference, null when none was added
        const char* call;     // the call's result
    } rows[] = {
        {"Flow", 1, 2, "Lib1", "3:42"},
        {"Temp", 1, 3, "", "3:42"},  // the temporary library alone, ahead of Lib2
        {"Both", 2, 3, nullptr, nullptr},
        {"Nowhere", 0, 3, nullptr, nullptr},
        {"", 0, 3, nullptr, nullptr},
        {"Ghost", 0, 3, "Gone", "failed: VBScript: Formula not set"},  // its library is gone
        {"FLOW", 1, 3, "Lib1", "3:42"},  // the second look-up goes through the reference
    };
    mv::ComPtr<IMvCalculation> flow;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Lookup found = GetFormula(calc.get(), row.name);
        EXPECT_EQ(found.result, S_OK);
        EXPECT_EQ(found.count, row.count);
        EXPECT_EQ(static_cast<bool>(found.formula), row.count == 1);
        EXPECT_EQ(ReferenceCount(calc.get()), row.references);
        if (std::string(row.name) == "Flow") flow = found.formula;
        if (std::string(row.name) == "FLOW") {
            EXPECT_EQ(found.formula, flow);
        }
        if (!row.library) continue;
        mv::ComPtr<IDispatch> added;
        ASSERT_EQ(calc->GetFormulaRef(B(row.name).get(), added.Put()), S_OK);
        mv::ComPtr<IMvFormulaRef> reference;
        ASSERT_EQ(added.As(&reference), S_OK);
        mv::Bstr library;
        reference->get_LibraryName(library.Out());
        EXPECT_EQ(library.Utf8(), row.library);
        EXPECT_EQ(CallResult(calc.get(), row.name), row.call);
    }

    // Null out pointers are refused before anything is written.
    mv::ComPtr<IMvCalculation> untouched;
    LONG count = 7;
    EXPECT_EQ(calc->GetFormula(B("Flow").get(), nullptr, &count), E_POINTER);
    EXPECT_EQ(count, 7);
    EXPECT_EQ(calc->GetFormula(B("Flow").get(), untouched.Put(), nullptr), E_POINTER);
    EXPECT_FALSE(untouched);
    count = 7;
    EXPECT_EQ(calc->GetFormula(nullptr, untouched.Put(), &count), S_OK);
    EXPECT_EQ(count, 0);
    EXPECT_FALSE(untouched);
}

TEST_F(LibraryFormulaTest, ACallMovesItsArgumentsInAndOutAndReportsTheRunsFailure) {
    const std::vector<std::pair<const char*, LONG>> ab = {{"A", mvcInput}, {"B", mvcOutput}};
    WriteLibraryFile("Lib1", {{"Double", "DoubleAIntoB", ab},
                              {"Forty", "ReturnFortyTwo", ab},
                              {"Fails", "ThrowRuntimeError", {}}});
    auto env = NewEnvironment();
    auto calc = NewCalculation("Caller");
    for (const char* name : {"Double", "Forty", "Fails"})
        ASSERT_EQ(GetFormula(calc.get(), name).count, 1) << name;

    auto source = Create<IMvParameter>(CLSID_MvParameter);
    auto target = Create<IMvParameter>(CLSID_MvParameter);
    mv::Variant four(LONG{4});
    SHORT sourceLevel = 1, sourceStatus = 5;
    source->SetParameterValues(&four, &sourceLevel, &sourceStatus, nullptr);
    values_test::LogCapture log(false, true);
    double byReference = 2.5;
    enum Out { IntoVariant, IntoParameter, None };
    const struct {
        const char* formula;
        VARIANT a;
        Out out;
        const char* b;  // the output argument afterwards
        const char* result;
        SHORT level, status;  // of the formula's input afterwards
        const char* error;
    } rows[] = {
        {"Double", mv::Variant(LONG{21}), IntoVariant, "5:42", "0:", -1, -2, ""},
        {"Double", ByReference(VT_R8, &byReference), IntoVariant, "5:5", "0:", -1, -2, ""},
        {"Double", Object(source.get()), IntoParameter, "5:8", "0:", 1, 5, ""},
        // An output the run did not write leaves the caller's variable as it was.
        {"Forty", mv::Variant(LONG{1}), IntoVariant, "8:keep", "3:42", -1, -2, ""},
        {"Fails",
         {},
         None,
         "",
         "8:untouched",
         0,
         0,
         "A runtime error occurred: tank empty., in formula \"Fails\""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.formula) + " " + Shown(row.a));
        mv::Variant kept(u"keep"), result(u"untouched");
        target->put_Value(mv::Variant(u"keep"));
        std::vector<VARIANT> arguments;
        if (row.out != None) arguments = {row.a, VARIANT{}};
        if (row.out == IntoVariant) arguments[1] = ByReference(VT_VARIANT, &kept);
        if (row.out == IntoParameter) arguments[1] = Object(target.get());
        std::string error;
        const HRESULT hr = Call(calc.get(), row.formula, arguments, &result, &error);
        EXPECT_EQ(hr, *row.error ? DISP_E_EXCEPTION : S_OK);
        EXPECT_EQ(error, row.error);
        EXPECT_EQ(Shown(result), row.result);
        if (row.out == IntoVariant) {
            EXPECT_EQ(Shown(kept), row.b);
        }
        if (row.out == IntoParameter) {
            mv::Variant written;
            target->get_Value(&written);
            EXPECT_EQ(Shown(written), row.b);
        }
        if (row.out == None) continue;
        // The call ran on the library's own formula object, which was free.
        mv::ComPtr<IMvCalculation> formula;
        ASSERT_EQ(env->GetFormulaObject(B("Lib1").get(), B(row.formula).get(), formula.Put()),
                  S_OK);
        mv::ComPtr<IMvParameter> input;
        ASSERT_EQ(formula->GetParameter(B("A").get(), input.Put()), S_OK);
        SHORT level = 9, status = 9;
        input->get_Level(&level);
        input->get_Status(&status);
        EXPECT_EQ(level, row.level);
        EXPECT_EQ(status, row.status);
    }
    // A formula that cannot be had is traced with its text under "Steps";
    // the run's own failure is not.
    mv::ComPtr<IDispatch> ghost;
    ASSERT_EQ(calc->AddFormulaRef(B("Ghost").get(), B("Gone").get(), ghost.Put()), S_OK);
    EXPECT_EQ(CallResult(calc.get(), "Ghost"), "failed: VBScript: Formula not set");
    const std::string text = log.Text();
    EXPECT_NE(text.find("ExcepInfo: ( VBScript: Formula not set )"), std::string::npos);
    EXPECT_EQ(text.find("ExcepInfo: ( A runtime"), std::string::npos);
}

TEST_F(LibraryFormulaTest, AReplacedFormulaIsDroppedByTheReferencesOfEveryCopyOfACalculation) {
    WriteLibraryFile("Lib1", {{"Flow", "ReturnFortyTwo", {}}});
    WriteCalc("User", [](IMvCalculation* c) {
        mv::ComPtr<IDispatch> added;
        c->AddFormulaRef(B("Flow").get(), B("Lib1").get(), added.Put());
    });
    auto env = NewEnvironment();
    auto user = Get(env.get(), "User");
    // The chain: the calculation and two copies, each copy given a
    // collection of its own with a reference to the same formula.
    std::vector<mv::ComPtr<IMvCalculation>> chain(3);
    for (auto& member : chain) ASSERT_EQ(user->AllocateCopy(member.Put(), 0), S_OK);
    ASSERT_EQ(chain[0], user);
    for (int i = 1; i < 3; ++i) {
        auto own = NewCalculation();
        mv::ComPtr<IDispatch> added;
        own->AddFormulaRef(B("Flow").get(), B("Lib1").get(), added.Put());
        ASSERT_EQ(chain[i]->SetCalcFromFormulaP(own.get()), S_OK);
    }
    auto heldBy = [](IMvCalculation* member) {
        mv::ComPtr<IDispatch> found;
        mv::ComPtr<IMvFormulaRef> reference;
        mv::ComPtr<IMvCalculation> held;
        if (SUCCEEDED(member->GetFormulaRef(B("Flow").get(), found.Put())) &&
            SUCCEEDED(found.As(&reference)))
            reference->get_Formula(held.Put());
        return held;
    };
    mv::ComPtr<IMvCalculation> old;
    ASSERT_EQ(env->GetFormulaObject(B("Lib1").get(), B("Flow").get(), old.Put()), S_OK);
    for (auto& member : chain) ASSERT_EQ(heldBy(member.get()), old);

    // The library gets a new Flow; the replacement makes every reference
    // fetch it.
    auto library = Library(env.get(), "Lib1");
    mv::ComPtr<IMvObjCollection> formulas;
    ASSERT_EQ(library->get_Formulas(formulas.Put()), S_OK);
    ASSERT_EQ(formulas->Remove(B("Flow").get()), S_OK);
    mv::ComPtr<IMvCalculation> replacement;
    ASSERT_EQ(library->AddFormula(B("Flow").get(), replacement.Put()), S_OK);
    EXPECT_EQ(env->ReplaceFormula(B("Lib1").get(), B("Flow").get()), S_OK);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(heldBy(chain[i].get()), replacement) << "member " << i;
    for (auto& member : chain) member->DeallocateCopy();
}

TEST_F(LibraryFormulaTest, ARewrittenLibraryIsReloadedForEveryUserOnlyWithReloadOn) {
    const struct {
        VARIANT_BOOL reload;
        const char* library;
        HRESULT lookUp;     // of the first look-up after the rewrite
        const char* after;  // what a call gives afterwards, in both calculations
    } rows[] = {
        {VARIANT_TRUE, "LibOn", S_OK, "8:forty-two"},
        {VARIANT_FALSE, "LibOff", S_OK, "3:42"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.library);
        auto env = NewEnvironment();
        ASSERT_EQ(env->put_EnableStaleLibraryReload(row.reload), S_OK);
        WriteLibraryFile(row.library, {{"Flow", "ReturnFortyTwo", {}}}, 1000000);
        const std::string second = std::string("Second") + row.library;
        WriteCalc(second, [&](IMvCalculation* c) {
            mv::ComPtr<IDispatch> added;
            c->AddFormulaRef(B("Flow").get(), B(row.library).get(), added.Put());
        });
        auto other = Get(env.get(), second.c_str());
        EXPECT_EQ(CallResult(other.get(), "Flow"), "3:42");
        auto calc = NewCalculation("First");
        ASSERT_EQ(GetFormula(calc.get(), "Flow").count, 1);
        EXPECT_EQ(CallResult(calc.get(), "Flow"), "3:42");

        WriteLibraryFile(row.library, {{"Flow", "ReturnText", {}}}, 2000000);
        mv::ComPtr<IDispatch> reference;
        EXPECT_EQ(calc->GetFormulaRef(B("Flow").get(), reference.Put()), row.lookUp);
        EXPECT_EQ(ReferenceCount(calc.get()), 1) << "the look-up keeps the reference";
        ASSERT_EQ(GetFormula(calc.get(), "Flow").count, 1);
        EXPECT_EQ(CallResult(calc.get(), "Flow"), row.after);
        EXPECT_EQ(CallResult(other.get(), "Flow"), row.after);
        EXPECT_EQ(ReferenceCount(other.get()), 1);
        fs::remove(base_ / "Lib" / (std::string(row.library) + ".mvc"));
    }
}

// With reload on, a reference whose formula its reloaded library no longer
// holds is looked for as a new one would be: GetFormula points it at the one
// library that holds the name now, or counts none and keeps it as it was.
TEST_F(LibraryFormulaTest, GetFormulaFollowsAFormulaThatMovedOutOfItsReloadedLibrary) {
    const struct {
        const char* moved;  // the library that holds Flow after the rewrite, or none
        LONG count;
        const char* library;  // of the reference afterwards
        const char* call;
    } rows[] = {
        {"Lib2", 1, "Lib2", "8:forty-two"},
        {nullptr, 0, "Lib1", "failed: VBScript: Formula not set"},
    };
    auto env = NewEnvironment();
    ASSERT_EQ(env->put_EnableStaleLibraryReload(VARIANT_TRUE), S_OK);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.library);
        WriteLibraryFile("Lib1", {{"Flow", "ReturnFortyTwo", {}}}, 1000000);
        auto calc = NewCalculation("Caller");
        ASSERT_EQ(GetFormula(calc.get(), "Flow").count, 1);
        EXPECT_EQ(CallResult(calc.get(), "Flow"), "3:42");

        WriteLibraryFile("Lib1", {{"Other", "ReturnText", {}}}, 2000000);
        if (row.moved) WriteLibraryFile(row.moved, {{"Flow", "ReturnText", {}}}, 2000000);
        EXPECT_EQ(CallResult(calc.get(), "Flow"), "failed: VBScript: Formula not set");
        Lookup found = GetFormula(calc.get(), "Flow");
        EXPECT_EQ(found.count, row.count);
        EXPECT_EQ(static_cast<bool>(found.formula), row.count == 1);
        EXPECT_EQ(ReferenceCount(calc.get()), 1);
        mv::ComPtr<IDispatch> kept;
        mv::ComPtr<IMvFormulaRef> reference;
        ASSERT_EQ(calc->GetFormulaRef(B("Flow").get(), kept.Put()), S_OK);
        ASSERT_EQ(kept.As(&reference), S_OK);
        mv::Bstr library;
        reference->get_LibraryName(library.Out());
        EXPECT_EQ(library.Utf8(), row.library);
        EXPECT_EQ(CallResult(calc.get(), "Flow"), row.call);
        for (const char* file : {"Lib1.mvc", "Lib2.mvc"}) fs::remove(base_ / "Lib" / file);
        env->RemoveLibraryObject(B("Lib1").get());
        env->RemoveLibraryObject(B("Lib2").get());
    }
}

// With reload on, a library that leaves the cache and is loaded again from
// its rewritten file counts as reloaded: the references that held a formula
// of the old file run the new one, though no stale check sees the change.
TEST_F(LibraryFormulaTest, ALoadOfAChangedLibraryFileOutdatesTheFormulasTakenBefore) {
    auto env = NewEnvironment();
    ASSERT_EQ(env->put_EnableStaleLibraryReload(VARIANT_TRUE), S_OK);
    WriteLibraryFile("Lib1", {{"Flow", "ReturnFortyTwo", {}}}, 1000000);
    auto calc = NewCalculation("Caller");
    ASSERT_EQ(GetFormula(calc.get(), "Flow").count, 1);
    EXPECT_EQ(CallResult(calc.get(), "Flow"), "3:42");
    WriteLibraryFile("Lib1", {{"Flow", "ReturnText", {}}}, 2000000);
    ASSERT_EQ(env->RemoveLibraryObject(B("Lib1").get()), S_OK);
    ASSERT_TRUE(Library(env.get(), "Lib1"));
    EXPECT_EQ(CallResult(calc.get(), "Flow"), "8:forty-two");
}

}  // namespace
