// Parameters from a workbook's defined names, and the binding of a script
// parameter to the historian tag of its name through the scripting
// library's stand-in.
#include "calculation_test_support.h"
#include "corvex_sim.h"
#include "frame/keldrin_client.h"
#include "frame/loaded_dlls.h"

namespace calculation_test {
namespace {

using parameter_test::NumberOf;
using parameter_test::TextOf;

// A string array from index `lower`; a null entry stays a null BSTR.
SAFEARRAY* Strings(LONG lower, std::initializer_list<const char16_t*> texts) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, lower, static_cast<ULONG>(texts.size()));
    LONG i = lower;
    for (const char16_t* text : texts) {
        mv::Bstr b = text ? mv::Bstr(text) : mv::Bstr();
        SafeArrayPutElement(array, &i, b.get());
        ++i;
    }
    return array;
}

// The spreadsheet server's answer: elements 1 and 2 of an array from 1.
mv::Variant List(const VARIANT& first, const VARIANT& second) {
    mv::Variant list;
    list.vt = VT_ARRAY | VT_VARIANT;
    list.parray = SafeArrayCreateVector(VT_VARIANT, 1, 2);
    LONG i = 1;
    SafeArrayPutElement(list.parray, &i, const_cast<VARIANT*>(&first));
    i = 2;
    SafeArrayPutElement(list.parray, &i, const_cast<VARIANT*>(&second));
    return list;
}

mv::Variant ArrayOf(SAFEARRAY* array) {
    mv::Variant v;
    v.vt = VT_ARRAY | VT_BSTR;
    v.parray = array;
    return v;
}

mv::ComPtr<IMvParameter> Param(IMvCalculation* calc, const char16_t* name) {
    mv::ComPtr<IMvParameter> p;
    (void)calc->GetParameter(mv::Bstr(name).get(), p.Put());
    return p;
}

LONG CountOf(IMvCalculation* calc) {
    mv::ComPtr<IMvObjCollection> parameters;
    calc->get_Parameters(parameters.Put());
    LONG count = -1;
    parameters->get_Count(&count);
    return count;
}

TEST(AutoAddParameters, EveryNameFromLowerToUpperBoundBecomesALinkedParameter) {
    auto calc = NewCalculation();
    mv::ComPtr<IMvParameter> command, kept;
    calc->AddParameter(mv::Bstr(u"Cmd").get(), command.Put());
    command->put_ParameterType(mvcCommand);
    calc->AddParameter(mv::Bstr(u"Kept").get(), kept.Put());
    kept->put_ParameterType(mvcInput);
    kept->put_BindingType(mvcOPC);
    kept->put_SpreadSheetRow(3);
    kept->put_SpreadSheetColumn(4);

    mv::Variant list =
        List(ArrayOf(Strings(0, {u"New1", u"cmd", u"RETURNVALUE", u"kept", nullptr, u"Empty"})),
             ArrayOf(Strings(0, {u"abc", u"=1", u"=2", u"=B2", u"=3", u""})));
    calc->AutoAddParameters(&list, mv::Bstr(u"Sheet1").get());

    const struct {
        const char16_t* name;
        LONG type;
    } rows[] = {{u"New1", mvcInput},
                {u"Cmd", mvcCommand},
                {u"ReturnValue", mvcReturnValue},
                {u"Kept", mvcOutput},
                {u"Empty", mvcInput}};
    for (const auto& row : rows) {
        SCOPED_TRACE(mv::ToUtf8(row.name));
        auto p = Param(calc.get(), row.name);
        ASSERT_TRUE(p);
        EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_ParameterType), row.type);
        EXPECT_EQ(TextOf(p.get(), &IMvParameter::get_SpreadSheetName), "Sheet1");
        EXPECT_EQ(TextOf(p.get(), &IMvParameter::get_SpreadSheetMethod), mv::ToUtf8(row.name));
        EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_SpreadSheetRow), 0);
        EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_SpreadSheetColumn), 0);
    }
    EXPECT_EQ(CountOf(calc.get()), 5);  // the null name adds nothing
    EXPECT_EQ(NumberOf(kept.get(), &IMvParameter::get_BindingType), mvcOPC);
    EXPECT_EQ(NumberOf(Param(calc.get(), u"New1").get(), &IMvParameter::get_Type), mvcVariant);
}

TEST(AutoAddParameters, ListsOfTheWrongShapeAddNothingAndUnequalArraysPairWhatTheyCan) {
    const mv::Variant names = ArrayOf(Strings(1, {u"A", u"B", u"C"}));
    mv::Variant numbers;
    numbers.vt = VT_ARRAY | VT_I4;
    numbers.parray = SafeArrayCreateVector(VT_I4, 1, 3);
    mv::Variant text(u"A");
    mv::Variant wrongOuter = ArrayOf(Strings(1, {u"A", u"B"}));
    const struct {
        const char* what;
        mv::Variant list;
        LONG added;
    } rows[] = {
        {"outer string array", wrongOuter, 0},
        {"contents not strings", List(names, numbers), 0},
        {"names not an array", List(text, names), 0},
        {"one content for three names", List(names, ArrayOf(Strings(1, {u"x"}))), 1},
        {"contents from another bound", List(names, ArrayOf(Strings(2, {u"x", u"y", u"z"}))), 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        auto calc = NewCalculation();
        mv::Variant list = row.list;
        calc->AutoAddParameters(&list, nullptr);
        EXPECT_EQ(CountOf(calc.get()), 1 + row.added);
    }
    auto calc = NewCalculation();
    calc->AutoAddParameters(nullptr, nullptr);
    calc->AutoAddParameters(nullptr, nullptr, nullptr);
    EXPECT_EQ(CountOf(calc.get()), 1);
}

// The scripting library's stand-in on the search path, loaded by the first
// binding that needs it.
class AutoBind : public testing::Test {
protected:
    void SetUp() override {
        Forget();
        ASSERT_EQ(CorvexSim_SetLibrary(CORVEXSIM_FULL), 1);
        CorvexSimTag tag{"srv", -1, "TAG1", "VALUE   ", "degC  ", "HIST ", 11, 12, 13, 14, 15, -5};
        ASSERT_EQ(CorvexSim_SeedTag(&tag), 1);
        calc_ = NewCalculation();
        ASSERT_EQ(calc_->AddParameter(mv::Bstr(u"TAG1").get(), parameter_.Put()), S_OK);
        parameter_->put_Use_QT_Format(1);
    }
    void TearDown() override {
        Forget();
        CorvexSim_SetLibrary(CORVEXSIM_ABSENT);
    }
    static void Forget() {
        ResetKeldcoreForTesting();
        CalcUnloadLibrary();
        CorvexSim_Reset();
    }
    static bool CorvexLoaded() {
        std::lock_guard lock(g_csLoadedDlls);
        return g_mapLoadedDlls.count("corvex.dll") == 1;
    }
    HRESULT Bind(const char16_t* servers) {
        return calc_->AutoBindParameter(parameter_.get(), mv::Bstr(servers).get());
    }
    // The binding as one text, empty fields included.
    std::string Binding() const {
        IMvParameter* p = parameter_.get();
        return std::to_string(NumberOf(p, &IMvParameter::get_BindingType)) + "|" +
               TextOf(p, &IMvParameter::get_NodeName) + "|" +
               std::to_string(NumberOf(p, &IMvParameter::get_GroupNumber)) + "|" +
               TextOf(p, &IMvParameter::get_RecordName) + "|" +
               TextOf(p, &IMvParameter::get_FieldName) + "|" +
               TextOf(p, &IMvParameter::get_BoundUnits) + "|" +
               TextOf(p, &IMvParameter::get_HistoryFieldName) + "|" +
               std::to_string(NumberOf(p, &IMvParameter::get_FieldType)) + "|" +
               std::to_string(NumberOf(p, &IMvParameter::get_Use_QT_Format)) + "|" +
               std::to_string(NumberOf(p, &IMvParameter::get_Record_ID)) + "," +
               std::to_string(NumberOf(p, &IMvParameter::get_Field_ID)) + "," +
               std::to_string(NumberOf(p, &IMvParameter::get_StatusField_ID)) + "," +
               std::to_string(NumberOf(p, &IMvParameter::get_HistoryField_ID)) + "|" +
               TextOf(p, &IMvParameter::get_Source);
    }

    Calculation calc_;
    mv::ComPtr<IMvParameter> parameter_;
    static constexpr const char* kUnbound = "0||0|||||0|1|0,0,0,0|";
};

TEST_F(AutoBind, TheServerTextGivesTheGroupAndAGroupBeyondSixteenBitsBindsNothing) {
    const struct {
        const char16_t* servers;
        const char* binding;
    } rows[] = {
        {u"srv", "1|srv|200|TAG1|VALUE|degC|HIST|-5|0|11,12,14,15|KDRN: TAG1"},
        {u"srv:12", "1|srv|12|TAG1|VALUE|degC|HIST|-5|0|11,12,14,15|KDRN: TAG1"},
        {u"srv:x", "1|srv|0|TAG1|VALUE|degC|HIST|-5|0|11,12,14,15|KDRN: TAG1"},
        {u"srv:", "1|srv|0|TAG1|VALUE|degC|HIST|-5|0|11,12,14,15|KDRN: TAG1"},
        {u"SRV: -7", "1|SRV|-7|TAG1|VALUE|degC|HIST|-5|0|11,12,14,15|KDRN: TAG1"},
        {u"srv:70000", kUnbound},
        {u"srv:-32769", kUnbound},
        {u":12", kUnbound},
        {u"", kUnbound},
        {u"other", kUnbound},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(mv::ToUtf8(row.servers));
        SetUp();
        EXPECT_EQ(Bind(row.servers), S_OK);
        EXPECT_EQ(Binding(), row.binding);
    }
}

TEST_F(AutoBind, ASuccessWritesTheFieldsInOrder) {
    values_test::LogCapture log(true);
    ASSERT_EQ(Bind(u"srv"), S_OK);
    std::string puts;
    const std::string lines = log.Lines();
    const std::string prefix = "CMvParameter::put_", suffix = ": Method - Start";
    for (std::size_t at = lines.find(prefix); at != std::string::npos;
         at = lines.find(prefix, at + 1)) {
        const std::size_t end = lines.find('\n', at);
        const std::string line = lines.substr(at + prefix.size(), end - at - prefix.size());
        if (line.size() > suffix.size() && line.ends_with(suffix))
            puts += line.substr(0, line.size() - suffix.size()) + " ";
    }
    EXPECT_EQ(puts,
              "NodeName GroupNumber RecordName FieldName BoundUnits FieldType Use_QT_Format "
              "HistoryFieldName Record_ID Field_ID StatusField_ID HistoryField_ID BindingType "
              "Source ");
}

TEST_F(AutoBind, RejectedTagsBoundParametersAndAMissingLibraryLeaveTheParameterAlone) {
    const struct {
        const char* what;
        const char* failingCall;
        LONG mode;
        LONG bindingBefore;
        LONG library;
    } rows[] = {
        {"field lookup rejects", "KeldrinFieldUnitHist", CORVEXSIM_REJECT, mvcNone, CORVEXSIM_FULL},
        {"validation rejects", "KeldrinTagValidate3", CORVEXSIM_REJECT, mvcNone, CORVEXSIM_FULL},
        {"already bound", "", 0, mvcOPC, CORVEXSIM_FULL},
        {"library missing", "", 0, mvcNone, CORVEXSIM_ABSENT},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        SetUp();
        ASSERT_EQ(CorvexSim_SetLibrary(row.library), 1);
        if (*row.failingCall) CorvexSim_FailCall(row.failingCall, row.mode, 4, "No such tag", 1);
        parameter_->put_BindingType(row.bindingBefore);
        const std::string before = Binding();
        EXPECT_EQ(Bind(u"srv"), S_OK);
        EXPECT_EQ(Binding(), before);
    }
}

TEST_F(AutoBind, TheLibraryIsLoadedByTheFirstBindingThatReachesTheTagCalls) {
    parameter_->put_BindingType(mvcOPC);
    Bind(u"srv");
    parameter_->put_BindingType(mvcNone);
    Bind(u"srv:70000");
    EXPECT_FALSE(CorvexLoaded());
    EXPECT_EQ(CorvexSim_CallCount("KeldrinFieldUnitHist"), 0);

    ASSERT_EQ(Bind(u"srv"), S_OK);
    ASSERT_TRUE(CorvexLoaded());
    HMODULE loaded = nullptr;
    {
        std::lock_guard lock(g_csLoadedDlls);
        loaded = g_mapLoadedDlls["corvex.dll"];
    }
    // Off the search path now: the library loaded first still serves.
    ASSERT_EQ(CorvexSim_SetLibrary(CORVEXSIM_ABSENT), 1);
    mv::ComPtr<IMvParameter> second;
    calc_->AddParameter(mv::Bstr(u"tag1b").get(), second.Put());
    CorvexSimTag tag{"srv", 200, "TAG1B", "F", "", "", 1, 2, 3, 4, 5, 6};
    CorvexSim_SeedTag(&tag);
    EXPECT_EQ(calc_->AutoBindParameter(second.get(), mv::Bstr(u"srv").get()), S_OK);
    EXPECT_EQ(NumberOf(second.get(), &IMvParameter::get_BindingType), mvcKeldrin);
    std::lock_guard lock(g_csLoadedDlls);
    EXPECT_EQ(g_mapLoadedDlls["corvex.dll"], loaded);
    EXPECT_EQ(g_mapLoadedDlls.size(), 1u);
}

}  // namespace
}  // namespace calculation_test
