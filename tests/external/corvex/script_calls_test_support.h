// A calculation double for the script calls that serves real parameters
// through dispatch and one formula, "Add", and the fixture that reaches the
// calls by name.
#pragma once

#include <cctype>
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

inline std::string Lower(std::string s) {
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

class [[gnu::visibility("hidden")]] CorvexScriptCalls : public CorvexFixture {
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

}  // namespace corvex_test
