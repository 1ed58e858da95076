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

// A VARIANT holding a string array from index `lower` (null entries stay
// null), and the spreadsheet server's list of two such from index 1.
mv::Variant Strings(LONG lower, std::initializer_list<const char16_t*> texts) {
    mv::Variant v;
    v.vt = VT_ARRAY | VT_BSTR;
    v.parray = SafeArrayCreateVector(VT_BSTR, lower, static_cast<ULONG>(texts.size()));
    for (const char16_t* text : texts)
        SafeArrayPutElement(v.parray, &lower, mv::Bstr(text).get()), ++lower;
    return v;
}
mv::Variant List(const mv::Variant& names, const mv::Variant& contents) {
    mv::Variant list;
    list.vt = VT_ARRAY | VT_VARIANT;
    list.parray = SafeArrayCreateVector(VT_VARIANT, 1, 2);
    LONG i = 1;
    SafeArrayPutElement(list.parray, &i, const_cast<mv::Variant*>(&names));
    SafeArrayPutElement(list.parray, &++i, const_cast<mv::Variant*>(&contents));
    return list;
}

TEST(AutoAddParameters, EveryNameUpToTheUpperBoundBecomesALinkedParameter) {
    auto calc = NewCalculation();
    Param(calc.get(), u"Cmd", true)->put_ParameterType(mvcCommand);
    Param(calc.get(), u"Kept", true)->put_SpreadSheetRow(3);
    // Wrong shapes and a content array shorter than the names.
    for (mv::Variant list : {Strings(0, {u"W"}), List(Strings(0, {u"W"}), mv::Variant(1)),
                             List(Strings(0, {u"W", u"W2"}), Strings(3, {u"x"}))})
        calc->AutoAddParameters(&list, nullptr);
    mv::Variant list = List(Strings(0, {u"New", u"cmd", u"RETURNVALUE", nullptr, u"kept"}),
                            Strings(0, {u"abc", u"=1", u"=2", u"=3", u"=B2"}));
    calc->AutoAddParameters(&list, mv::Bstr(u"Sheet").get());
    std::string seen;
    for (const char16_t* name : {u"ReturnValue", u"Cmd", u"Kept", u"New"}) {
        auto p = Param(calc.get(), name);
        seen += std::to_string(NumberOf(p.get(), &IMvParameter::get_ParameterType)) +
                TextOf(p.get(), &IMvParameter::get_SpreadSheetName) +
                TextOf(p.get(), &IMvParameter::get_SpreadSheetMethod) +
                std::to_string(NumberOf(p.get(), &IMvParameter::get_SpreadSheetRow)) + " ";
    }
    EXPECT_EQ(seen, "6SheetReturnValue0 8SheetCmd0 2SheetKept0 1SheetNew0 ");
    EXPECT_EQ(ParameterNames(calc.get()), "ReturnValue Cmd Kept New ");
}

// The scripting library's stand-in on the search path with one tag, whose
// texts end in blanks.
class AutoBind : public testing::Test {
protected:
    void SetUp() override {
        Forget();
        ASSERT_EQ(CorvexSim_SetLibrary(CORVEXSIM_FULL), 1);
        CorvexSimTag tag{"srv", -1, "TAG1", "VALUE  ", "degC ", "HIST ", 11, 12, 13, 14, 15, -5};
        ASSERT_EQ(CorvexSim_SeedTag(&tag), 1);
        calc_ = NewCalculation();
        parameter_ = Param(calc_.get(), u"TAG1", true);
        parameter_->put_Use_QT_Format(1);
    }
    void TearDown() override {
        Forget();
        CorvexSim_SetLibrary(CORVEXSIM_ABSENT);
    }
    static void Forget() {
        ResetKeldcoreLoader();
        CalcUnloadLibrary();
        CorvexSim_Reset();
    }
    static HMODULE Loaded() {
        std::lock_guard lock(g_csLoadedDlls);
        auto found = g_mapLoadedDlls.find("corvex.dll");
        return found == g_mapLoadedDlls.end() ? nullptr : found->second;
    }
    // Binds and gives the binding as one text.
    std::string Bind(const char16_t* servers) {
        EXPECT_EQ(calc_->AutoBindParameter(parameter_.get(), mv::Bstr(servers).get()), S_OK);
        std::string text;
        IMvParameter* p = parameter_.get();
        for (auto get : {&IMvParameter::get_NodeName, &IMvParameter::get_RecordName,
                         &IMvParameter::get_FieldName, &IMvParameter::get_BoundUnits,
                         &IMvParameter::get_HistoryFieldName, &IMvParameter::get_Source})
            text += TextOf(p, get) + "|";
        for (auto get : {&IMvParameter::get_BindingType, &IMvParameter::get_GroupNumber,
                         &IMvParameter::get_FieldType, &IMvParameter::get_Use_QT_Format,
                         &IMvParameter::get_Record_ID, &IMvParameter::get_Field_ID,
                         &IMvParameter::get_StatusField_ID, &IMvParameter::get_HistoryField_ID})
            text += std::to_string(NumberOf(p, get)) + ",";
        return text;
    }

    Calculation calc_;
    mv::ComPtr<IMvParameter> parameter_;
};

constexpr char kUnbound[] = "||||||0,0,0,1,0,0,0,0,";

TEST_F(AutoBind, TheServerTextGivesTheGroupAndEveryRejectionLeavesTheParameterUnbound) {
    const struct {
        const char16_t* servers;
        const char* failingCall;  // rejects once
        const char* binding;
    } rows[] = {
        {u"srv", "", "srv|TAG1|VALUE|degC|HIST|KDRN: TAG1|1,200,-5,0,11,12,14,15,"},
        {u"srv:12", "", "srv|TAG1|VALUE|degC|HIST|KDRN: TAG1|1,12,-5,0,11,12,14,15,"},
        {u"srv:x", "", "srv|TAG1|VALUE|degC|HIST|KDRN: TAG1|1,0,-5,0,11,12,14,15,"},
        {u"srv:70000", "", kUnbound},
        {u":12", "", kUnbound},
        {u"srv", "KeldrinFieldUnitHist", kUnbound},
        {u"srv", "KeldrinTagValidate3", kUnbound},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(mv::ToUtf8(row.servers) + " " + row.failingCall);
        SetUp();
        if (*row.failingCall)
            CorvexSim_FailCall(row.failingCall, CORVEXSIM_REJECT, 4, "No such tag", 1);
        EXPECT_EQ(Bind(row.servers), row.binding);
    }
    SetUp();
    parameter_->put_BindingType(mvcOPC);
    EXPECT_EQ(Bind(u"srv"), "||||||9,0,0,1,0,0,0,0,");
}

TEST_F(AutoBind, TheLibraryIsLoadedOnceByTheFirstBindingThatNeedsItAndWritesInOrder) {
    ASSERT_EQ(CorvexSim_SetLibrary(CORVEXSIM_ABSENT), 1);
    EXPECT_EQ(Bind(u"srv"), kUnbound);
    ASSERT_EQ(CorvexSim_SetLibrary(CORVEXSIM_FULL), 1);
    Bind(u"srv:70000");
    EXPECT_EQ(Loaded(), nullptr);

    values_test::LogCapture log(true);
    Bind(u"srv");
    std::string puts, lines = log.Lines();
    for (std::size_t at = 0; (at = lines.find("::put_", at)) != std::string::npos; ++at) {
        const std::size_t end = lines.find(':', at + 6);
        if (lines.compare(end, 16, ": Method - Start") == 0)
            puts += lines.substr(at + 6, end - at - 6) + " ";
    }
    EXPECT_EQ(puts,
              "NodeName GroupNumber RecordName FieldName BoundUnits FieldType Use_QT_Format "
              "HistoryFieldName Record_ID Field_ID StatusField_ID HistoryField_ID BindingType "
              "Source ");
    const HMODULE first = Loaded();
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(CorvexSim_SetLibrary(CORVEXSIM_ABSENT), 1);  // the loaded library still serves
    parameter_ = Param(calc_.get(), u"tag1", false);
    parameter_->put_BindingType(mvcNone);
    EXPECT_NE(Bind(u"srv"), kUnbound);
    EXPECT_EQ(Loaded(), first);
}

}  // namespace
}  // namespace calculation_test
