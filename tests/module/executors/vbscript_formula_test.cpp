// The VBScript formula: every failure of the executor on a double engine,
// scripts (calls through a formula reference among them) and their error
// texts on the built-in engine, and the site's item lookup.
#include <functional>
#include <optional>
#include <stdexcept>
#include <type_traits>

#include "interfaces/IMvFormulaRef.h"
#include "vbscript_test_support.h"

namespace vbscript_test {
namespace {

// The failing call of the double engine: "create", "site", "parse
// interface", "InitNew", "parse", "report" (a parse error reported through
// the site), "report without info", "report without position", "item 3",
// "item 5", "connect" or "throw" (from AddNamedItem).
std::string g_fault;
std::vector<std::string> g_items;  // what the double engine added
bool g_closed = false;

// A recording engine; it is its own error object.
template <bool Parse>
class EngineDouble : public mv::ComObjectRoot<EngineDouble<Parse>>,
                     public IActiveScript,
                     public IActiveScriptParse,
                     public IActiveScriptError {
public:
    using InterfaceMap =
        std::conditional_t<Parse, mv::Interfaces<IActiveScript, IActiveScriptParse>,
                           mv::Interfaces<IActiveScript>>;
    HRESULT FinalConstruct() { return g_fault == "create" ? E_FAIL : S_OK; }

    HRESULT SetScriptSite(IActiveScriptSite* site) override {
        return g_fault == "site" ? E_FAIL : (site_ = site, S_OK);
    }
    HRESULT SetScriptState(SCRIPTSTATE) override { return g_fault == "connect" ? E_FAIL : S_OK; }
    HRESULT Close() override { return g_closed = true, site_.Reset(), S_OK; }
    HRESULT AddNamedItem(LPCOLESTR name, DWORD flags) override {
        if (g_fault == "throw") throw std::runtime_error("engine broke");
        EXPECT_EQ(flags, SCRIPTITEM_ISVISIBLE);
        if (g_fault == "item " + std::to_string(g_items.size() + 1)) return E_FAIL;
        return g_items.push_back(mv::ToUtf8(name)), S_OK;
    }
    HRESULT InitNew() override { return g_fault == "InitNew" ? E_FAIL : S_OK; }
    HRESULT ParseScriptText(LPCOLESTR code, LPCOLESTR, IUnknown*, LPCOLESTR, DWORD_PTR, ULONG,
                            DWORD, VARIANT*, EXCEPINFO*) override {
        EXPECT_NE(code, nullptr);
        if (g_fault.starts_with("report")) site_->OnScriptError(this);
        return g_fault.starts_with("report") || g_fault == "parse" ? E_FAIL : S_OK;
    }
    HRESULT GetExceptionInfo(EXCEPINFO* ei) override {
        if (g_fault == "report without info") return E_FAIL;
        *ei = EXCEPINFO{};
        ei->bstrDescription = SysAllocString(u"Expected ')'");
        return S_OK;
    }
    HRESULT GetSourcePosition(DWORD* context, ULONG* line, LONG* column) override {
        return g_fault == "report without position" ? E_FAIL
                                                    : (*context = 0, *line = 3, *column = 7, S_OK);
    }

    HRESULT GetSourceLineText(BSTR*) override { return E_NOTIMPL; }
    HRESULT GetScriptSite(REFIID, void**) override { return E_NOTIMPL; }
    HRESULT GetScriptState(SCRIPTSTATE*) override { return E_NOTIMPL; }
    HRESULT AddTypeLib(REFGUID, DWORD, DWORD, DWORD) override { return E_NOTIMPL; }
    HRESULT GetScriptDispatch(LPCOLESTR, IDispatch**) override { return E_NOTIMPL; }
    HRESULT GetCurrentScriptThreadID(SCRIPTTHREADID*) override { return E_NOTIMPL; }
    HRESULT GetScriptThreadID(DWORD, SCRIPTTHREADID*) override { return E_NOTIMPL; }
    HRESULT GetScriptThreadState(SCRIPTTHREADID, SCRIPTTHREADSTATE*) override { return E_NOTIMPL; }
    HRESULT InterruptScriptThread(SCRIPTTHREADID, const EXCEPINFO*, DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT Clone(IActiveScript**) override { return E_NOTIMPL; }
    HRESULT AddScriptlet(LPCOLESTR, LPCOLESTR, LPCOLESTR, LPCOLESTR, LPCOLESTR, LPCOLESTR,
                         DWORD_PTR, ULONG, DWORD, BSTR*, EXCEPINFO*) override {
        return E_NOTIMPL;
    }

private:
    mv::ComPtr<IActiveScriptSite> site_;
};

// A formula reference whose DISPID 0 takes, as the real one checks them,
// two arguments: an object, whose default value it answers, and a variable
// by reference, into which it writes "written".
class FormulaRefDouble : public mv::ComObjectRoot<FormulaRefDouble>,
                         public IMvFormulaRef,
                         public IDispatch {
public:
    using InterfaceMap = mv::Interfaces<IMvFormulaRef, IDispatch>;
    std::u16string name;

    HRESULT get_Name(BSTR* p) override { return *p = SysAllocString(name.c_str()), S_OK; }
    HRESULT put_Name(BSTR) override { return E_NOTIMPL; }
    HRESULT get_LibraryName(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_LibraryName(BSTR) override { return E_NOTIMPL; }
    HRESULT get_Formula(IMvCalculation**) override { return E_NOTIMPL; }
    HRESULT put_Formula(IMvCalculation*) override { return E_NOTIMPL; }
    HRESULT ClearFormulaRef(BSTR, BSTR) override { return E_NOTIMPL; }
    HRESULT get_InUse(LONG*) override { return E_NOTIMPL; }
    HRESULT put_InUse(LONG) override { return E_NOTIMPL; }
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD how, DISPPARAMS* dp, VARIANT* result, EXCEPINFO*,
                   UINT*) override {
        if (id != 0 || !(how & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
        if (dp->cArgs != 2) return DISP_E_BADPARAMCOUNT;
        VARIANT* args = dp->rgvarg;  // last first
        if (args[1].vt != VT_DISPATCH || args[0].vt != (VT_BYREF | VT_VARIANT)) return E_INVALIDARG;
        const mv::Variant written(u"written");
        VariantCopy(args[0].pvarVal, &written);
        return result ? VariantChangeType(result, &args[1], 0, VT_BSTR) : S_OK;
    }
};

// FormulaRefs: Flow, a reference named like the parameter B, and last a
// member that is no formula reference. Answers Flow.
mv::ComPtr<IUnknown> AddFormulaRefs(IMvCalculation* calc) {
    mv::ComPtr<IMvObjCollection> refs;
    calc->get_FormulaRefs(refs.Put());
    mv::ComPtr<mv::ComObject<FormulaRefDouble>> flow, shadow;
    mv::MakeComObject(&flow), mv::MakeComObject(&shadow);
    flow->name = u"Flow", shadow->name = u"B";
    refs->Add(mv::Bstr(u"Flow").get(), flow.get());
    refs->Add(mv::Bstr(u"B").get(), shadow.get());
    refs->Add(mv::Bstr(u"Junk").get(), parameter_test::NewParameter().get());
    return mv::ComPtr<IUnknown>(static_cast<IMvFormulaRef*>(flow.get()));
}

int g_outputs = 0;
void CountOutput(const MvBindingCall& call) {
    g_outputs += call.Pass == OUTPUT_PASS ? 1 : 0;
}

class VBScriptFormula : public testing::Test {
protected:
    void SetUp() override { AllocateTlsSlots(), MvSetBindingHandler(mvcQuenbus, &CountOutput); }
    void TearDown() override { MvSetBindingHandler(mvcQuenbus, nullptr), FreeTlsSlots(); }
};

mv::ComPtr<IUnknown> Identity(IMvCalculation* calc, const char16_t* name) {
    mv::ComPtr<IUnknown> identity;
    return Parameter(calc, name).As(&identity), identity;
}

ULONG References(IMvCalculation* object) {
    return object->AddRef(), object->Release();
}

TEST_F(VBScriptFormula, EachEngineFailureLeavesItsTextAndNeitherOutputsNorReferences) {
    const std::vector<std::string> all = {"ReturnValue", "A", "B", "C", "Flow", "B"};
    const struct {
        std::string fault;
        std::string text;
        LONG position;
        std::size_t items;
    } cases[] = {
        {"create", "Execute VBScript: Failed to create  ActiveX Script Engine.", 0, 0},
        {"site", "Execute VBScript: Failed to set IActiveScriptSite interface.", 0, 0},
        {"parse interface", "Execute VBScript: Failed to get IActiveScriptParse interface.", 0, 0},
        {"InitNew", "Execute VBScript: Failed to create null script.", 0, 0},
        {"parse", "Execute VBScript: Faled to load VBScript.", 0, 0},
        {"report", "Expected ')' line 4", 7, 0},
        {"report without info", "VBScript: GetExceptionInfo failed", 0, 0},
        {"report without position", "Expected ')'", 0, 0},
        {"item 3", "Execute VBScript: Failed to add parameter: B", 0, 2},
        {"item 5", "Execute VBScript: Failed to add formula", 0, 4},
        {"connect", "Execute VBScript: Failed to set connected flag on script engine.", 0, 6},
        {"throw", "\nA runtime error occurred: engine broke.", 0, 0},
        {"", "", 0, 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        g_fault = c.fault, g_items.clear(), g_closed = false, g_outputs = 0;
        auto served = c.fault == "parse interface"
                          ? values_test::ServedClass::Of<EngineDouble<false>>(CLSID_VBScript)
                          : values_test::ServedClass::Of<EngineDouble<true>>(CLSID_VBScript);
        auto calc = ScriptCalculation("", mvcQuenbus);
        AddFormulaRefs(calc.get());
        const ULONG before = References(calc.get());
        EXPECT_EQ(calc->Calculate(), S_OK);
        EXPECT_EQ(ErrorOf(calc.get()), c.text);
        EXPECT_EQ(PositionOf(calc.get()), c.position);
        EXPECT_EQ(g_items, std::vector<std::string>(all.begin(), all.begin() + c.items));
        EXPECT_EQ(g_closed, c.text.empty());
        EXPECT_EQ(g_outputs, c.text.empty() ? 1 : 0);
        EXPECT_EQ(References(calc.get()), before);
    }
}

TEST_F(VBScriptFormula, ScriptsRunOnTheParametersAndReportTheirErrorsWithLineAndColumn) {
    const std::string golden =
        "Function Twice(n)\n  Twice = n * 2\nEnd Function\nDim s, i, v, k, arr(2)\n"
        "For i = 5 To 1 Step -1\n  If i = 4 Then\n    s = s & \"f\"\n"
        "  ElseIf i Mod 2 = 0 Then\n    s = s & \"e\"\n  Else\n    s = s & i\n  End If\nNext\n"
        "arr(0) = A : arr(1) = B : arr(2) = 10\nFor Each v In arr\n  k = k + v\nNext\n"
        "Select Case A\n  Case 1, 2\n    s = s & \"-low\"\n  Case 3\n    s = s & \"-three\"\n"
        "  Case Else\n    s = s & \"-other\"\nEnd Select\n"
        "Do Until k > 30\n  k = k + Twice(B)\nLoop\n"
        "For i = 1 To 10\n  If i * i > k Then Exit For\nNext\n"
        "ReturnValue = s & \":\" & k & \":\" & i\n";
    const struct {
        std::string script, value, error;
        LONG position;
        std::string c = "";
    } cases[] = {
        {"ReturnValue = A + B", "7", "", 0},
        {golden, "5f3e1-three:33:6", "", 0},
        {"ReturnValue = A.Level & \"/\" & A.Status\nC = A * 2", "1/-3", "", 0, "6"},
        {"On Error Resume Next\nx = 1 / 0\nReturnValue = Err.Number", "11", "", 0},
        {"x = 1\ny = 0\n  ReturnValue = x / y", "", "Division by zero line 3", 2},
        {"ReturnValue = 1\nReturnValue = 2 3", "", "Expected end of statement line 2", 16},
        {"", "", "", 0},
        {"ReturnValue = \"\xFF\"", "\xEF\xBF\xBD", "", 0},
        {"ReturnValue = B", "4", "", 0},
        {"ReturnValue = 1\nFlow = 1", "1", "Object doesn't support this property or method line 2",
         0},
        {"On Error Resume Next\nSet A = B\nReturnValue = Err.Number & A", "5013", "", 0},
        {"x = 5\nReturnValue = Flow(A, x) & \"/\" & x", "3/written", "", 0},
        {"ReturnValue = Flow(A)", "",
         "Wrong number of arguments or invalid property assignment line 1", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        auto calc = ScriptCalculation(c.script);
        AddFormulaRefs(calc.get());
        // Names a script cannot spell are items all the same.
        for (const char16_t* name : {u"End", u"two words", u"1st"})
            Parameter(calc.get(), name)->put_ParameterType(mvcInput);
        calc->put_ErrorPosition(-1);
        EXPECT_EQ(calc->Calculate(), S_OK);
        EXPECT_EQ(ValueOf(calc.get()), c.value);
        EXPECT_EQ(ErrorOf(calc.get()), c.error);
        EXPECT_EQ(PositionOf(calc.get()), c.position);
        EXPECT_EQ(ValueOf(calc.get(), u"C"), c.c);
    }
}

TEST_F(VBScriptFormula, TheSiteHandsOutParametersBeforeFormulaReferencesAndNoTypeInformation) {
    auto calc = ScriptCalculation("");
    const mv::ComPtr<IUnknown> flow = AddFormulaRefs(calc.get());
    const struct {
        const char16_t* name;
        DWORD mask;
        bool itemOut;
        HRESULT hr;
        mv::ComPtr<IUnknown> item;
    } cases[] = {
        {u"A", SCRIPTINFO_ITYPEINFO, true, TYPE_E_ELEMENTNOTFOUND, nullptr},
        {u"A", SCRIPTINFO_ITYPEINFO | SCRIPTINFO_IUNKNOWN, true, TYPE_E_ELEMENTNOTFOUND, nullptr},
        {u"a", SCRIPTINFO_IUNKNOWN, true, S_OK, Identity(calc.get(), u"A")},
        {u"B", SCRIPTINFO_IUNKNOWN, true, S_OK, Identity(calc.get(), u"B")},
        {u"flow", SCRIPTINFO_IUNKNOWN, true, S_OK, flow},
        {u"Nope", SCRIPTINFO_IUNKNOWN, true, E_INVALIDARG, nullptr},
        {nullptr, SCRIPTINFO_IUNKNOWN, true, E_INVALIDARG, nullptr},
        {u"A", 0, true, S_OK, nullptr},
        {u"A", SCRIPTINFO_IUNKNOWN, false, S_OK, nullptr},
    };
    IActiveScriptSite* site = calc.get();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name ? mv::ToUtf8(c.name) + " " + std::to_string(c.mask) : "null");
        IUnknown* item = reinterpret_cast<IUnknown*>(0x10);
        ITypeInfo* info = reinterpret_cast<ITypeInfo*>(0x10);
        EXPECT_EQ(site->GetItemInfo(c.name, c.mask, c.itemOut ? &item : nullptr, &info), c.hr);
        EXPECT_EQ(info, nullptr);
        if (!c.itemOut) continue;
        EXPECT_EQ(mv::ComPtr<IUnknown>(item), c.item);
        if (item) item->Release();
    }
    mv::ComPtr<IDispatch> none;
    EXPECT_EQ(calc->GetFormulaRef(mv::Bstr(u"Nope").get(), none.Put()), E_FAIL);
    EXPECT_EQ(values_test::TakeErrorInfo().description, u"Item: Named item not found");
}

// Runs after the first take the prepared text and items; with method
// tracing on, every run takes the standard road. Whatever changes between
// runs, both roads give the same values, texts and positions.
TEST_F(VBScriptFormula, EditsBetweenRunsGiveOnThePreparedRoadWhatTheStandardRoadGives) {
    using Edit = std::function<void(IMvCalculation*)>;
    auto collection = [](IMvCalculation* calc) {
        mv::ComPtr<IMvObjCollection> parameters;
        calc->get_Parameters(parameters.Put());
        return parameters;
    };
    auto text = [](const char* script) {
        return [script](IMvCalculation* calc) { calc->put_ScriptText(mv::Bstr(script).get()); };
    };
    // B taken out and a new B of another value filed in its place.
    const Edit replaceB = [&](IMvCalculation* calc) {
        collection(calc)->Remove(mv::Bstr(u"B").get());
        auto b = Parameter(calc, u"B");
        b->put_ParameterType(mvcInput), b->put_BindingType(mvcConstant);
        b->put_Value(mv::Variant(LONG{40}));
    };
    const struct {
        const char* name;
        std::string script;
        Edit edit;
        bool references = false;
    } cases[] = {
        {"the text changes", "ReturnValue = A + B", text("ReturnValue = A * B")},
        {"the text gets a syntax error", "ReturnValue = A + B", text("x = 1\nReturnValue = (A")},
        {"B is filed anew", "ReturnValue = A + B", replaceB},
        {"B is renamed", "ReturnValue = A + B",
         [&](IMvCalculation* calc) {
             collection(calc)->Rename(mv::Bstr(u"B").get(), mv::Bstr(u"B2").get());
         }},
        {"B is renamed under a formula reference's name", "x = 5\nReturnValue = Flow(A, x) & B",
         [&](IMvCalculation* calc) {
             collection(calc)->Rename(mv::Bstr(u"B").get(), mv::Bstr(u"B2").get());
         },
         true},
        {"the cache is cleared and D added", "ReturnValue = A + D",
         [](IMvCalculation* calc) {
             Parameter(calc, u"D")->put_Value(mv::Variant(LONG{5}));
             calc->ClearCache();
         }},
        {"A is taken out", "ReturnValue = A + B",
         [&](IMvCalculation* calc) { collection(calc)->Remove(mv::Bstr(u"A").get()); }},
        {"formula references are filed after runs without any", "x = 5\nReturnValue = Flow(A, x)",
         [](IMvCalculation* calc) { AddFormulaRefs(calc); }},
        {"the formula references are taken out", "x = 5\nReturnValue = Flow(A, x)",
         [](IMvCalculation* calc) {
             mv::ComPtr<IMvObjCollection> refs;
             calc->get_FormulaRefs(refs.Put());
             refs->RemoveAll();
         },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> seen[2];
        for (const bool traced : {false, true}) {
            auto calc = ScriptCalculation(c.script);
            if (c.references) AddFormulaRefs(calc.get());
            for (int run = 0; run < 4; ++run) {
                if (run == 2) c.edit(calc.get());
                g_DiagnosticLog.m_Flags[LogMethods] = traced ? 1 : 0;
                calc->put_ErrorPosition(-1);
                EXPECT_EQ(calc->Calculate(), S_OK);
                g_DiagnosticLog.m_Flags[LogMethods] = 0;
                seen[traced].push_back(ValueOf(calc.get()) + "|" + ErrorOf(calc.get()) + "|" +
                                       std::to_string(PositionOf(calc.get())));
            }
        }
        EXPECT_EQ(seen[0], seen[1]);
        EXPECT_NE(seen[0][1], seen[0][2]) << "the edit changes nothing";
    }
}

// The engine a run keeps for the next gives way to a class the process
// serves under the engine's CLSID, as a newly made engine would.
TEST_F(VBScriptFormula, AClassServedAfterRunsTakesOverFromTheKeptEngine) {
    auto calc = ScriptCalculation("ReturnValue = A + B");
    for (const bool served : {false, false, true, false}) {
        SCOPED_TRACE(served);
        g_fault.clear(), g_items.clear(), g_closed = false;
        std::optional<values_test::ServedClass> double_;
        if (served)
            double_.emplace(values_test::ServedClass::Of<EngineDouble<true>>(CLSID_VBScript));
        calc->put_Value(mv::Variant());
        EXPECT_EQ(calc->Calculate(), S_OK);
        EXPECT_EQ(ValueOf(calc.get()), served ? "" : "7");
        EXPECT_EQ(g_closed, served);
        EXPECT_EQ(g_items.size(), served ? 4u : 0u);
    }
}

// What runs keep for their engines lives with the parameter table: clearing
// the cache lets go of every parameter the runs took.
TEST_F(VBScriptFormula, ClearingTheCacheLetsGoOfWhatRunsKept) {
    auto calc = ScriptCalculation("ReturnValue = A + B");
    auto a = Parameter(calc.get(), u"A");
    auto references = [&] { return a->AddRef(), a->Release(); };
    const ULONG before = references();
    for (int run = 0; run < 3; ++run) {
        EXPECT_EQ(calc->Calculate(), S_OK);
        EXPECT_EQ(ValueOf(calc.get()), "7");
    }
    EXPECT_GT(references(), before);
    EXPECT_EQ(calc->ClearCache(), S_OK);
    EXPECT_EQ(references(), before);
}

}  // namespace
}  // namespace vbscript_test
