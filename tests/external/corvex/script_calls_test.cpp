// The script calls against a calculation double that serves real
// parameters through dispatch: what a parse lists, what a run computes and
// which texts it leaves in ErrorText.
#include <cctype>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "comobj.h"
#include "fixture.h"
#include "parameters/parameter.h"

namespace corvex_test {

// The members of a calculation that the library calls by name.
struct ITestCalc : IDispatch {
    virtual HRESULT GetParameter(BSTR name, VARIANT* result) = 0;
    virtual HRESULT get_ErrorText(BSTR* p) = 0;
    virtual HRESULT put_ErrorText(BSTR v) = 0;
    // The formula comes back through a VT_BYREF|VT_DISPATCH argument.
    virtual HRESULT GetFormula(BSTR name, VARIANT* formula, LONG* count) = 0;
    virtual HRESULT GetFormulaRef(BSTR name, VARIANT* result) = 0;
};
MV_DEFINE_GUID(IID_ITestCalc, 0x5E1A7C30, 0x1B2D, 0x4C3E, 0x9F, 0x40, 0x51, 0x62, 0x73, 0x84, 0x95,
               0xA6);
}  // namespace corvex_test
MV_IID_OF(corvex_test::ITestCalc, corvex_test::IID_ITestCalc);
namespace corvex_test {
MV_DISPATCH_TABLE(ITestCalc, mv::Method<&ITestCalc::GetParameter>(0x1B, u"GetParameter"),
                  mv::PropGet<&ITestCalc::get_ErrorText>(0xDE, u"ErrorText"),
                  mv::PropPut<&ITestCalc::put_ErrorText>(0xDE, u"ErrorText"),
                  mv::MethodByRef<&ITestCalc::GetFormula>(0x28, u"GetFormula"),
                  mv::Method<&ITestCalc::GetFormulaRef>(0x22, u"GetFormulaRef"))
}  // namespace corvex_test

namespace {

using corvex_test::CorvexFixture;
using corvex_test::ITestCalc;

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A formula reference whose script function adds its arguments and fails
// on a negative one.
class AddFormula : public mv::ComObjectRoot<AddFormula>, public IDispatch {
public:
    using InterfaceMap = mv::Interfaces<IDispatch>;
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* dp, VARIANT* result,
                   EXCEPINFO* info, UINT*) override {
        if (id != 0 || !(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
        double sum = 0;
        for (UINT i = 0; i < dp->cArgs; ++i) {
            if (dp->rgvarg[i].dblVal < 0) {
                info->bstrDescription = SysAllocString(u"negative argument");
                return DISP_E_EXCEPTION;
            }
            sum += dp->rgvarg[i].dblVal;
        }
        result->vt = VT_R8;
        result->dblVal = sum;
        return S_OK;
    }
};

class TestCalc : public mv::ComObjectRoot<TestCalc>, public mv::DispatchImpl<ITestCalc> {
public:
    using InterfaceMap = mv::Interfaces<ITestCalc, mv::Via<IDispatch, ITestCalc>>;

    HRESULT GetParameter(BSTR name, VARIANT* result) override {
        auto it = parameters.find(Lower(mv::ToUtf8(name)));
        if (it == parameters.end()) return E_FAIL;
        result->vt = VT_DISPATCH;
        return it->second->QueryInterface(IID_IDispatch,
                                          reinterpret_cast<void**>(&result->pdispVal));
    }
    HRESULT get_ErrorText(BSTR* p) override {
        *p = mv::Bstr(std::string_view(errorText)).Detach();
        return S_OK;
    }
    HRESULT put_ErrorText(BSTR v) override {
        errorText = mv::ToUtf8(v);
        return S_OK;
    }
    HRESULT GetFormula(BSTR name, VARIANT* formula, LONG* count) override {
        std::string n = mv::ToUtf8(name);
        formulasAsked.push_back(n);
        *count = 0;
        if (Lower(n) != "add" || formula->vt != (VT_BYREF | VT_DISPATCH)) return S_OK;
        *count = 1;
        return CreateAdd(formula->ppdispVal);
    }
    HRESULT GetFormulaRef(BSTR name, VARIANT* result) override {
        if (Lower(mv::ToUtf8(name)) != "add") return E_FAIL;
        result->vt = VT_DISPATCH;
        return CreateAdd(&result->pdispVal);
    }

    // A real parameter holding value and level.
    void Add(const std::string& name, const VARIANT& value, SHORT level) {
        mv::ComPtr<IMvParameter> p;
        ASSERT_EQ(mv::CreateComObject<CMvParameter>(nullptr, IID_IMvParameter, p.PutVoid()), S_OK);
        p->put_Value(value);
        p->put_Level(level);
        parameters[Lower(name)] = p;
    }
    IMvCalculation* AsCalculation() {
        return reinterpret_cast<IMvCalculation*>(static_cast<ITestCalc*>(this));
    }

    std::map<std::string, mv::ComPtr<IMvParameter>> parameters;
    std::string errorText;
    std::vector<std::string> formulasAsked;

private:
    static HRESULT CreateAdd(IDispatch** out) {
        return mv::CreateComObject<AddFormula>(nullptr, IID_IDispatch,
                                               reinterpret_cast<void**>(out));
    }
};

class CorvexScriptCalls : public CorvexFixture {
protected:
    void SetUp() override {
        CorvexFixture::SetUp();
        ASSERT_EQ(mv::MakeComObject<TestCalc>(&calc_), S_OK);
        parse_ = Get<PFN_parse_simple_calc3>("parse_simple_calc3");
        next_ = Get<PFN_next_parameter3>("next_parameter3");
        free_ = Get<PFN_free_simple_calc>("free_simple_calc");
        execute_ = Get<PFN_execute_corvex_exx>("execute_corvex_exx");
        ASSERT_TRUE(parse_ && next_ && free_ && execute_);
    }

    // What a parse lists, "name|node|record|kind@offset" joined by blanks,
    // or "error: <ErrorText>".
    std::string Parse(const std::string& script, LONG adHoc = 0) {
        void* handle = reinterpret_cast<void*>(1);
        calc_->errorText.clear();
        EXPECT_EQ(parse_(calc_->AsCalculation(), script.c_str(), &handle, adHoc), 0);
        std::string out;
        // Heap buffers of the module's size, so that an overrun is caught.
        std::vector<char> name(CORVEX_TEXT_BUFFER), node(CORVEX_TEXT_BUFFER),
            record(CORVEX_TEXT_BUFFER);
        for (;;) {
            LONG found = -1, kind = -1;
            double offset = -1;
            next_(handle, name.data(), node.data(), record.data(), &found, &kind, &offset);
            if (found <= 0) break;
            out += (out.empty() ? "" : " ") + std::string(name.data()) + "|" + node.data() + "|" +
                   record.data() + "|" + std::to_string(kind) + "@" +
                   std::to_string(offset).substr(0, 3);
        }
        free_(handle);
        if (!calc_->errorText.empty()) {
            EXPECT_EQ(out, "") << "a failed parse lists nothing";
            return "error: " + calc_->errorText;
        }
        return out;
    }

    mv::ComPtr<mv::ComObject<TestCalc>> calc_;
    PFN_parse_simple_calc3 parse_ = nullptr;
    PFN_next_parameter3 next_ = nullptr;
    PFN_free_simple_calc free_ = nullptr;
    PFN_execute_corvex_exx execute_ = nullptr;
};

TEST_F(CorvexScriptCalls, ParseListsNamesOnceInOrderWithTheirKinds) {
    const std::string n599(599, 'n'), n600(600, 'n');
    struct Row {
        std::string script;
        std::string want;
    } rows[] = {
        {"ReturnValue = A * 2 + B", "ReturnValue|||2@0.0 A|||1@0.0 B|||1@0.0"},
        {"X = X + 1\n# note\n\n  \r\nY = -X ^ 2", "X|||3@0.0 Y|||2@0.0"},
        {"a = B\nb = A", "a|||3@0.0 B|||3@0.0"},
        {"R = PLANT:FI101 + fi101", "R|||2@0.0 FI101|PLANT|FI101|1@0.0"},
        {"PLANT:OUT = 1e3 + .5 - 2.5E-1", "OUT|PLANT|OUT|2@0.0"},
        {"R = add(A, add(B))", "R|||2@0.0 A|||1@0.0 B|||1@0.0"},
        {"R = " + n599, "R|||2@0.0 " + n599 + "|||1@0.0"},
        {"", ""},
        {"R = ", "error: Expected an expression (line 1)"},
        {"\n = 1", "error: Expected a name (line 2)"},
        {"R 1", "error: Expected \"=\" (line 1)"},
        {"R = (A", "error: Expected \")\" (line 1)"},
        {"R = A $", "error: Unexpected \"$\" (line 1)"},
        {"R = 1e", "error: Invalid number (line 1)"},
        {"R = P:", "error: Expected a name (line 1)"},
        {"R = " + n600, "error: Name longer than 599 bytes (line 1)"},
        {"R = " + n600 + ":T", "error: Name longer than 599 bytes (line 1)"},
        {"R = 1\nR = F(A)", "error: Unknown formula \"F\" (line 2)"},
        {"R = " + std::string(1000, '('), "error: Expression nested too deeply (line 1)"},
    };
    for (const Row& r : rows) EXPECT_EQ(Parse(r.script), r.want) << r.script.substr(0, 40);
    // Each formula is asked for once, by its first spelling.
    calc_->formulasAsked.clear();
    Parse("R = Add(1) + ADD(2)");
    EXPECT_EQ(calc_->formulasAsked, std::vector<std::string>{"Add"});
}

TEST_F(CorvexScriptCalls, ScriptedParseReplacesTheText) {
    const std::string z700(700, 'z');
    CorvexSimParameter params[] = {
        {"A", "", "", 1, 0.5}, {"B", "N1", "R1", 5, -2.0}, {z700.c_str(), "", "", 4, 0}};
    const char* formulas[] = {"F1", "F2"};
    CorvexSim_ScriptParse(params, 3, formulas, 2);
    EXPECT_EQ(Parse("this is not parsed", 1),
              "A|||1@0.5 B|N1|R1|5@-2. " + std::string(599, 'z') + "|||4@0.0");
    EXPECT_EQ(calc_->formulasAsked, (std::vector<std::string>{"F1", "F2"}));
    CorvexSimFlags flags{};
    CorvexSim_GetFlags(&flags);
    EXPECT_EQ(flags.AdHoc, 1);

    CorvexSim_ScriptParse(nullptr, -1, nullptr, 0);
    EXPECT_EQ(Parse("R = 1"), "R|||2@0.0");
}

TEST_F(CorvexScriptCalls, RunComputesValuesLevelsAndErrorTexts) {
    struct Row {
        const char* script;
        double value;  // of ReturnValue; NaN: left empty
        SHORT level, status;
        const char* error;
    } rows[] = {
        {"ReturnValue = A * 2 + B", 7, 1, -3, ""},
        {"ReturnValue = 2 ^ 3 ^ 2", 512, -1, -2, ""},
        {"ReturnValue = -2 ^ 2 + (1 + 2) * 3 - 4 / 2", 3, -1, -2, ""},
        {"ReturnValue = PLANT:A - C", 3, 2, -6, ""},
        {"ReturnValue = Add(A, 2, B)", 6, 1, -3, ""},
        {"ReturnValue = A\nX = A / (B - 1)", 3, 0, -1, "Division by zero (line 2)"},
        {"ReturnValue = Missing + 1", NAN, 0, 0, "Unknown name \"Missing\" (line 1)"},
        {"ReturnValue = P:Missing", NAN, 0, 0, "Unknown name \"P:Missing\" (line 1)"},
        {"Nobody = 1", NAN, 0, 0, "Unknown name \"Nobody\" (line 1)"},
        {"ReturnValue = S", NAN, 0, 0, "\"S\" is not a number (line 1)"},
        {"ReturnValue = E", NAN, 0, 0, "\"E\" is not a number (line 1)"},
        {"ReturnValue = Add(-1)", NAN, 0, 0, "Formula \"Add\" failed: negative argument (line 1)"},
        {"ReturnValue = Nope(1)", NAN, 0, 0, "Unknown formula \"Nope\" (line 1)"},
        {"ReturnValue = 10 ^ 400", NAN, 0, 0, "Result is not a finite number (line 1)"},
        {"ReturnValue = (", NAN, 0, 0, "Expected an expression (line 1)"},
    };
    for (const Row& r : rows) {
        calc_->parameters.clear();
        calc_->errorText.clear();
        calc_->Add("A", mv::Variant(3.0), 0);
        calc_->Add("B", mv::Variant(std::u16string_view(u"1")), 1);
        calc_->Add("C", mv::Variant(LONG{0}), 2);
        calc_->Add("S", mv::Variant(u"abc"), 0);
        calc_->Add("E", mv::Variant(), 0);
        calc_->Add("X", mv::Variant(), 0);
        calc_->Add("ReturnValue", mv::Variant(), 0);
        EXPECT_EQ(execute_(calc_->AsCalculation(), 0, r.script, 0, 0), 0);
        EXPECT_EQ(calc_->errorText, r.error) << r.script;
        IMvParameter* rv = calc_->parameters["returnvalue"].get();
        mv::Variant v;
        SHORT level = 0, status = 0;
        rv->get_Value(&v);
        rv->get_Level(&level);
        rv->get_Status(&status);
        if (std::isnan(r.value)) {
            EXPECT_EQ(v.vt, VT_EMPTY) << r.script;
            continue;
        }
        ASSERT_EQ(v.vt, VT_R8) << r.script;
        EXPECT_EQ(v.dblVal, r.value) << r.script;
        EXPECT_EQ(level, r.level) << r.script;
        EXPECT_EQ(status, r.status) << r.script;
    }
}

TEST_F(CorvexScriptCalls, RecordsFlagsAndTakesInjectedFailures) {
    calc_->Add("ReturnValue", mv::Variant(), 0);
    EXPECT_EQ(execute_(calc_->AsCalculation(), 1, "ReturnValue = 1", 1, 5), 0);
    CorvexSimFlags flags{};
    CorvexSim_GetFlags(&flags);
    EXPECT_EQ(flags.HasDravik, 1);
    EXPECT_EQ(flags.OnDemand, 1);
    EXPECT_EQ(flags.SandBox, 5);
    EXPECT_EQ(flags.AdHoc, -1);  // no parse yet

    CorvexSim_FailCall("execute_corvex_exx", CORVEXSIM_THROW, 0, "boom", 1);
    EXPECT_THROW(execute_(calc_->AsCalculation(), 0, "ReturnValue = 2", 0, 0), std::runtime_error);
    CorvexSim_FailCall("execute_corvex_exx", CORVEXSIM_ERRORTEXT, 0, "Script failed", 1);
    execute_(calc_->AsCalculation(), 0, "ReturnValue = 3", 0, 0);
    EXPECT_EQ(calc_->errorText, "Script failed");
    mv::Variant v;
    calc_->parameters["returnvalue"]->get_Value(&v);
    EXPECT_EQ(v.dblVal, 1.0);  // neither failing run wrote
    EXPECT_EQ(CorvexSim_CallCount("execute_corvex_exx"), 3);

    CorvexSim_FailCall("parse_simple_calc3", CORVEXSIM_ERRORTEXT, 0, "Parse refused", 1);
    EXPECT_EQ(Parse("R = 1"), "error: Parse refused");
    CorvexSim_FailCall("parse_simple_calc3", CORVEXSIM_THROW, 0, "boom", 1);
    void* handle = nullptr;
    EXPECT_THROW(parse_(calc_->AsCalculation(), "R = 1", &handle, 0), std::runtime_error);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(parse_(nullptr, "R = 1", &handle, 0), 2);
    EXPECT_EQ(free_(nullptr), 0);
}

}  // namespace
