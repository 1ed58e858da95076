// The Corvex script formula and the discovery of its parameters, against the
// scripting library's stand-in loaded by name.
#include "calculation_test_support.h"
#include "corvex_sim.h"
#include "frame/loaded_dlls.h"
#include "interfaces/IMvFormulaRef.h"

namespace calculation_test {
namespace {

using parameter_test::NumberOf;
using parameter_test::TextOf;

class Corvex : public testing::Test {
protected:
    void SetUp() override { Use(CORVEXSIM_FULL); }
    void TearDown() override {
        Use(CORVEXSIM_ABSENT);
        CorvexSim_ScriptParse(nullptr, -1, nullptr, 0);
    }
    // A fresh library state, found as `which`, and a calculation with X.
    void Use(LONG which) {
        CalcUnloadLibrary();
        CorvexSim_Reset();
        ASSERT_EQ(CorvexSim_SetLibrary(which), 1);
        calc_ = NewCalculation();
        Param(calc_.get(), u"X", true)->put_ParameterType(mvcInput);
    }
    HRESULT Discover(const char16_t* script, BSTR servers) {
        calc_->put_ScriptText(mv::Bstr(script).get());
        unused_.Clear();
        unbound_ = mv::Variant(LONG{5});
        return calc_->CreateCorvexParams(servers, &unused_, &unbound_);
    }
    // Each parameter as name:type:node, in collection order.
    std::string Parameters() {
        std::string text;
        mv::ComPtr<IMvObjCollection> parameters;
        calc_->get_Parameters(parameters.Put());
        for (const auto& p : MvMembersAs<IMvParameter>(parameters.get()))
            text += TextOf(p.get(), &IMvParameter::get_Name) + ":" +
                    std::to_string(NumberOf(p.get(), &IMvParameter::get_ParameterType)) + ":" +
                    TextOf(p.get(), &IMvParameter::get_NodeName) + " ";
        return text;
    }

    std::string Error() {
        return calculation_test::TextOf(calc_.get(), &IMvCalculation::get_ErrorText);
    }

    Calculation calc_;
    mv::Variant unused_, unbound_;
};

TEST_F(Corvex, DiscoveryCreatesTheInputsAndTheRunComputesAtTheWorstInputLevel) {
    ASSERT_EQ(Discover(u"ReturnValue = A * 2 + B", nullptr), S_OK);
    EXPECT_EQ(Parameters(), "ReturnValue:6: X:0: A:1: B:1: ");
    auto a = Param(calc_.get(), u"A");
    EXPECT_EQ(NumberOf(a.get(), &IMvParameter::get_Type), mvcVariant);
    double multiplier = 0;
    a->get_UnitConversionMultiplier(&multiplier);
    EXPECT_EQ(multiplier, 1.0);
    ASSERT_EQ(unused_.vt, VT_ARRAY | VT_VARIANT);
    LONG index = 0;
    mv::Variant first;
    SafeArrayGetElement(unused_.parray, &index, &first);
    EXPECT_EQ(mv::ToUtf8(first.bstrVal), "X");
    EXPECT_EQ(unbound_.vt, VT_EMPTY);

    a->put_Value(mv::Variant(3.0));
    a->put_Level(1);
    Param(calc_.get(), u"B")->put_Value(mv::Variant(1.0));
    calc_->put_SandBoxMode(1);
    ASSERT_EQ(calc_->Calculate(), S_OK);
    EXPECT_EQ(Error(), "");
    mv::Variant value;
    calc_->get_Value(&value);
    ASSERT_EQ(value.vt, VT_R8);
    EXPECT_EQ(value.dblVal, 7.0);
    SHORT level = 0;
    calc_->get_Level(&level);
    EXPECT_EQ(level, 1);
    CorvexSimFlags flags{};
    CorvexSim_GetFlags(&flags);
    EXPECT_EQ(flags.HasDravik, 0);
    EXPECT_EQ(flags.OnDemand, 0);
    EXPECT_EQ(flags.SandBox, 1);

    calc_->CreateDravikConnect();
    calc_->put_FormulaType(mvcOnDemand_Method);
    calc_->Calculate();
    CorvexSim_GetFlags(&flags);
    EXPECT_EQ(flags.HasDravik, 1);
    EXPECT_EQ(flags.OnDemand, 1);
}

TEST_F(Corvex, TheModeTextDecidesNodeNamesFormulaKindAndBinding) {
    CorvexSimTag tag{"srv", -1, "B", "VALUE", "degC", "HIST", 11, 12, 13, 14, 15, -5};
    const struct {
        const char16_t* servers;  // null: a null BSTR
        const char16_t* script;
        HRESULT result;
        const char* error;
        const char* parameters;
        LONG formulaType;
    } rows[] = {
        {nullptr, u"R = PLANT:FI101 + B", S_FALSE, "\":\" not allowed.",
         "ReturnValue:6: X:0: R:2: B:1: ", 4},
        {u"", u"R = B", S_OK, "", "ReturnValue:6: X:0: R:2: B:1: ", 4},
        {u"\x01", u"R = PLANT:FI101", S_OK, "", "ReturnValue:6: X:0: R:2: FI101:1:PLANT ", 7},
        {u"\x01srv", u"R = B", S_OK, "", "ReturnValue:6: X:0: R:2: B:1: ", 7},
        {u"\x01", u"R = = B", S_FALSE, "Unexpected \"=\" (line 1)", "ReturnValue:6: X:1: ", 7},
        {u"srv:12", u"R = B", S_OK, "", "ReturnValue:6: X:0: R:2: B:1:srv ", 4},
        // A refused node name leaves the names after it unbound.
        {u"srv:12", u"R = PLANT:FI101 + B", S_FALSE, "\":\" not allowed.",
         "ReturnValue:6: X:0: R:2: B:1: ", 4},
        {u"srv", u"R = (B", S_FALSE, "Expected \")\" (line 1)", "ReturnValue:6: X:1: ", 4},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(mv::ToUtf8(row.script));
        Use(CORVEXSIM_FULL);
        ASSERT_EQ(CorvexSim_SeedTag(&tag), 1);
        mv::Bstr servers;
        if (row.servers) servers = mv::Bstr(row.servers);
        EXPECT_EQ(Discover(row.script, servers.get()), row.result);
        EXPECT_EQ(Error(), row.error);
        EXPECT_EQ(Parameters(), row.parameters);
        LONG type = 0;
        calc_->get_FormulaType(&type);
        EXPECT_EQ(type, row.formulaType);
        auto b = Param(calc_.get(), u"B");
        const bool bound =
            std::u16string_view(row.servers ? row.servers : u"") == u"srv:12" && !*row.error;
        if (b) {
            EXPECT_EQ(TextOf(b.get(), &IMvParameter::get_Source), bound ? "KDRN: B" : "");
            EXPECT_EQ(NumberOf(b.get(), &IMvParameter::get_GroupNumber), bound ? 12 : 0);
        }
    }
}

TEST_F(Corvex, ScriptedKindsMapToParameterTypesAndReturnValueKeepsItsType) {
    const CorvexSimParameter listed[] = {
        {"X", "", "", 1, 0.0},  {"N2", "", "", 2, 0.0}, {"N3", "", "", 3, 0.0},
        {"N4", "", "", 4, 0.0}, {"N5", "", "", 5, 2.5}, {"ReturnValue", "", "", 1, 0.0},
        {"N1", "", "", 1, 0.0},
    };
    CorvexSim_ScriptParse(listed, 7, nullptr, 0);
    EXPECT_EQ(Discover(u"", nullptr), S_OK);
    EXPECT_EQ(Parameters(), "ReturnValue:6: X:1: N2:2: N3:3: N4:2: N5:0: N1:1: ");
    double offset = 0;
    Param(calc_.get(), u"N5")->get_UnitConversionOffset(&offset);
    EXPECT_EQ(offset, 2.5);
    EXPECT_EQ(unused_.vt, VT_ARRAY | VT_VARIANT);  // N5

    // An existing parameter is re-typed, even to unused.
    const CorvexSimParameter again[] = {{"N1", "", "", 7, 0.0}};
    CorvexSim_ScriptParse(again, 1, nullptr, 0);
    EXPECT_EQ(Discover(u"", nullptr), S_OK);
    EXPECT_EQ(NumberOf(Param(calc_.get(), u"N1").get(), &IMvParameter::get_ParameterType),
              mvcUnUsed);
}

TEST_F(Corvex, LibraryFailuresShowInTheErrorText) {
    // A text left by a run counts as a failed parse.
    calc_->put_ErrorText(mv::Bstr(u"left").get());
    EXPECT_EQ(Discover(u"R = B", nullptr), S_FALSE);
    EXPECT_EQ(Parameters(), "ReturnValue:6: X:1: ");

    const struct {
        LONG library;
        const char* failingCall;
        LONG how;
        const char* error;
    } rows[] = {
        {CORVEXSIM_FULL, "execute_corvex_exx", CORVEXSIM_THROW,
         "\nA runtime error occurred: boom."},
        {CORVEXSIM_FULL, "execute_corvex_exx", CORVEXSIM_ERRORTEXT, "boom"},
        {CORVEXSIM_ABSENT, "", 0, "Corvex scripting library is not available."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.error);
        Use(row.library);
        calc_->put_ScriptText(mv::Bstr(u"ReturnValue = 5").get());
        auto out = Param(calc_.get(), u"Out", true);
        out->put_ParameterType(mvcOutput);
        out->put_Value(mv::Variant(1.0));
        if (*row.failingCall) CorvexSim_FailCall(row.failingCall, row.how, 0, "boom", 1);
        ASSERT_EQ(calc_->Calculate(), S_OK);
        EXPECT_EQ(Error(), row.error);
        mv::Variant value;
        calc_->get_Value(&value);
        EXPECT_NE(value.vt, VT_R8);
    }
    // Discovery without the script calls.
    EXPECT_EQ(Discover(u"R = B", nullptr), S_FALSE);
    EXPECT_EQ(Error(), "Corvex scripting library is not available.");
    Use(CORVEXSIM_FULL);
    CorvexSim_FailCall("parse_simple_calc3", CORVEXSIM_THROW, 0, "boom", 1);
    EXPECT_EQ(Discover(u"R = B", nullptr), S_FALSE);
    EXPECT_EQ(Error(), "Failed to parse calculation");
    EXPECT_EQ(calc_->CreateCorvexParams(nullptr, nullptr, &unbound_), E_POINTER);
}

// A formula reference that answers IDispatch (for the collection) and
// IMvFormulaRef; a `kept` one ignores being marked unused, as one that the
// parse marked in use again.
class FormulaRefDouble : public IDispatch, public IMvFormulaRef {
public:
    FormulaRefDouble(const char16_t* name, bool kept) : name_(name), kept_(kept) {}
    HRESULT QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IMvFormulaRef))
            *out = static_cast<IMvFormulaRef*>(this);
        else if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch))
            *out = static_cast<IDispatch*>(this);
        else
            return *out = nullptr, E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG Release() override { return static_cast<ULONG>(--refs); }
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT get_Name(BSTR* pVal) override { return *pVal = SysAllocString(name_), S_OK; }
    HRESULT put_Name(BSTR) override { return E_NOTIMPL; }
    HRESULT get_LibraryName(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_LibraryName(BSTR) override { return E_NOTIMPL; }
    HRESULT get_Formula(IMvCalculation**) override { return E_NOTIMPL; }
    HRESULT put_Formula(IMvCalculation*) override { return E_NOTIMPL; }
    HRESULT ClearFormulaRef(BSTR, BSTR) override { return E_NOTIMPL; }
    HRESULT get_InUse(LONG* pVal) override { return *pVal = inUse, S_OK; }
    HRESULT put_InUse(LONG newVal) override {
        if (!kept_) inUse = newVal;
        return S_OK;
    }
    int refs = 1;
    LONG inUse = 1;

private:
    const char16_t* name_;
    bool kept_;
};

TEST_F(Corvex, UnusedFormulaReferencesGoOnlyAfterASuccessfulDiscovery) {
    FormulaRefDouble used(u"Used", true), stale(u"Stale", false);
    mv::ComPtr<IMvObjCollection> references;
    ASSERT_EQ(calc_->get_FormulaRefs(references.Put()), S_OK);
    references->Add(mv::Bstr(u"Used").get(), static_cast<IDispatch*>(&used));
    references->Add(mv::Bstr(u"Stale").get(), static_cast<IDispatch*>(&stale));
    auto count = [&] {
        LONG n = -1;
        references->get_Count(&n);
        return n;
    };
    EXPECT_EQ(Discover(u"R = (", nullptr), S_FALSE);
    EXPECT_EQ(count(), 2);
    EXPECT_EQ(stale.inUse, 0);
    calc_->put_ErrorText(nullptr);
    EXPECT_EQ(Discover(u"R = B", nullptr), S_OK);
    EXPECT_EQ(count(), 1);
    mv::ComPtr<IDispatch> left;
    EXPECT_EQ(references->ItemByName(mv::Bstr(u"Used").get(), left.Put()), S_OK);
    left.Reset();
    references.Reset();
    calc_.Reset();
    EXPECT_EQ(stale.refs, 1);
    EXPECT_EQ(used.refs, 1);
}

}  // namespace
}  // namespace calculation_test
