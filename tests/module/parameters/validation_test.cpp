// Validation of historian and process-data bindings against the stand-ins:
// identifiers resolved again, the engineering units read, the local node
// through the older library, and a server rename.
#include <cmath>
#include <functional>
#include <limits>

#include "../bindings/binding_test_support.h"
#include "parameter_test_support.h"
#include "parameters/unit_conversion.h"
#include "process_data_sim.h"

namespace {

using bindtest::B;
using bindtest::SeededNode;
using namespace parameter_test;

std::pair<double, double> Factors(IMvParameter* p) {
    double m = 0, o = 0;
    p->get_UnitConversionMultiplier(&m);
    p->get_UnitConversionOffset(&o);
    return {m, o};
}

Outcome Validate2(IMvParameter* p, VARIANT_BOOL checkUnits = VARIANT_FALSE) {
    mv::Bstr error;
    HRESULT hr = p->Validate2(checkUnits, error.Out());
    return OutcomeOf(hr, error);
}

Outcome Validate(IMvParameter* p) {
    mv::Bstr error;
    HRESULT hr = p->Validate(error.Out());
    return OutcomeOf(hr, error);
}

mv::ComPtr<IMvParameter> Bound(const char* node, LONG binding = mvcKeldrin) {
    auto p = NewParameter();
    p->put_Name(B("P1").get());
    p->put_BindingType(binding);
    p->put_NodeName(B(node).get());
    p->put_RecordName(B("TAG1").get());
    p->put_FieldName(B("VALUE").get());
    p->put_HistoryFieldName(B("HIST").get());
    return p;
}

class ValidationTest : public bindtest::HistorianFixture {
protected:
    void SetUp() override {
        HistorianFixture::SetUp();
        local_.Seed("localhost", 11, 3, true);
        plant_.Seed("PLANT2", 11, 3, false);
        for (SeededNode* n : {&local_, &plant_}) n->AddMap("TAGMAP", true);
    }
    SeededNode local_, plant_;
};

TEST_F(ValidationTest, HistorianNamesResolveIntoIdentifiers) {
    const std::string longName(40000, 'H');
    const std::string failed = "Failed to validate parameter \"P1\"";
    // From Record on, the changes also leave stale identifiers to replace.
    enum Do { None, Resolved, NoFieldId, NaN, FieldOnly, HistOnly, Record, Field, Hist, Node };
    struct Row {
        const char* name;
        Do change;
        const char* to;  // the name the change writes
        HRESULT hr;
        std::string text;
        LONG recordId, fieldId, historyFieldId;  // -1: the record's own
    } rows[] = {
        {"fresh parameter", None, "", S_OK, "(null)", -1, 0x20000, 0x30000},
        {"already resolved", Resolved, "", S_FALSE, "(null)", -1, 0x20000, 0x30000},
        {"field identifier cleared", NoFieldId, "", S_OK, "(null)", -1, 0x20000, 0x30000},
        {"NaN factor counts as changed", NaN, "", S_OK, "(null)", -1, 0x20000, 0x30000},
        {"no history field name", Hist, nullptr, S_OK, "(null)", -1, 0x20000, 0},
        {"unknown record", Record, "NOPE", S_OK, failed + ": Record not found.", 0, 0, 0},
        {"unknown field", FieldOnly, "NOPE", S_FALSE, failed + ": Field not found.", 0, 0, 0},
        {"unknown history field", HistOnly, "NOPE", S_OK, failed + ": Field not found.", -1,
         0x20000, 0},
        {"history field name too long", Hist, longName.c_str(), S_OK, failed + ": Name too long",
         -1, 0x20000, 0},
        {"record name too long", Record, longName.c_str(), S_OK, failed + ": Name too long", 0, 0,
         0},
        {"empty field name", Field, nullptr, S_FALSE, "(null)", 12, 0, 0},
        {"unreachable node", Node, "NOWHERE", S_FALSE,
         failed + ", failed to add server ( Keldrin server not found. )", 12, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto p = Bound("PLANT2");
        mv::Bstr to = row.to ? B(row.to) : mv::Bstr();
        if (row.change >= Resolved && row.change <= NaN) {
            ASSERT_EQ(Validate2(p.get()).hr, S_OK);
        }
        if (row.change == NoFieldId) p->put_Field_ID(0);
        if (row.change == NaN)
            p->put_UnitConversionMultiplier(std::numeric_limits<double>::quiet_NaN());
        if (row.change >= Record) p->put_Record_ID(12);
        if (row.change == Hist) p->put_HistoryField_ID(5);
        if (row.change == Record) p->put_RecordName(to.get());
        if (row.change == Field || row.change == FieldOnly) p->put_FieldName(to.get());
        if (row.change == Hist || row.change == HistOnly) p->put_HistoryFieldName(to.get());
        if (row.change == Node) p->put_NodeName(to.get());
        Outcome out = Validate2(p.get());
        EXPECT_EQ(out.hr, row.hr);
        EXPECT_EQ(out.text, row.text);
        EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_Record_ID),
                  row.recordId < 0 ? plant_.record : row.recordId);
        EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_Field_ID), row.fieldId);
        EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_HistoryField_ID), row.historyFieldId);
        if (row.fieldId) {
            EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_FieldType), SeededNode::kValueType);
            EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_StatusField_ID), SeededNode::kStatusTag);
        }
    }
}

TEST_F(ValidationTest, ValidateChoosesThePathByBindingAndNode) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Row {
        const char* name;
        bool loadOlderLibrary;
        LONG binding;
        const char* node;
        LONG olderCalls, apiCalls;  // DECODRAF calls of each library
        HRESULT hr;
    } rows[] = {
        // Only five identifiers are compared locally: the NaN factor is not.
        {"local node, library loaded", true, mvcKeldrin, "LOCALHOST", 1, 0, S_FALSE},
        {"local node, library never loaded", false, mvcKeldrin, "localhost", 0, 1, S_OK},
        {"remote node", true, mvcKeldrin, "PLANT2", 0, 1, S_OK},
        {"constant", true, mvcConstant, "PLANT2", 0, 0, S_OK},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ResetKeldcoreLoader();
        CalcUnloadLibrary();
        if (row.loadOlderLibrary) LoadKeldcoreLibrary();
        auto p = Bound(row.node, row.binding);
        p->put_Record_ID(std::string(row.node) == "PLANT2" ? plant_.record : local_.record);
        p->put_Field_ID(0x20000);
        p->put_HistoryField_ID(0x30000);
        p->put_FieldType(SeededNode::kValueType);
        p->put_StatusField_ID(SeededNode::kStatusTag);
        p->put_UnitConversionMultiplier(nan);
        LONG older = KhSim_CallCount(KHSIM_KELDCORE, "DECODRAF");
        LONG api = KhSim_CallCount(KHSIM_API, "DECODRAF");
        EXPECT_EQ(Validate(p.get()).hr, row.hr);
        EXPECT_EQ(KhSim_CallCount(KHSIM_KELDCORE, "DECODRAF") - older, row.olderCalls);
        EXPECT_EQ(KhSim_CallCount(KHSIM_API, "DECODRAF") - api, row.apiCalls);
    }
    // Another binding leaves the caller's text as it was.
    auto p = Bound("PLANT2", mvcDataSet);
    BSTR text = SysAllocString(u"kept");
    EXPECT_EQ(p->Validate(&text), S_OK);
    EXPECT_EQ(mv::ToUtf8(text), "kept");
    SysFreeString(text);
}

TEST_F(ValidationTest, UnitsCheckReadsBoundUnitsAndRecomputesFactors) {
    ServedUnitClasses served;
    auto temperature = NewUnitType(u"Temperature");
    AddUnits(temperature.get(), {{u"K", 1.0, 0.0}, {u"degC", 1.0, 273.15}});
    auto length = NewUnitType(u"Length");
    AddUnits(length.get(), {{u"m", 1.0, 0.0}});
    MvSetUnitConvColl(TableOf({temperature.get(), length.get()}).get());

    const std::string wide(70, 'u');
    const std::string failed = "Failed to validate parameter \"P1\": ";
    struct Row {
        const char* name;
        std::string fieldText;
        VARIANT_BOOL checkUnits;
        bool readFails;
        std::string boundUnits;
        double multiplier, offset;
        const char* failure;  // after "Failed to validate parameter "P1": "; null: none
    } rows[] = {
        {"same unit, trailing blanks", "degC   ", VARIANT_TRUE, false, "degC", 1, 0, nullptr},
        {"unit of the same type", "K", VARIANT_TRUE, false, "K", 1.0, 273.15, nullptr},
        {"unit of another type", "m", VARIANT_TRUE, false, "m", 0, 2,
         "Incompatible Engineering Units"},
        {"unknown unit", "furlong", VARIANT_TRUE, false, "furlong", 0, 1,
         "Invalid Engineering Unit"},
        {"text clamped to 64 characters", wide, VARIANT_TRUE, false, wide.substr(0, 64), 0, 1,
         "Invalid Engineering Unit"},
        {"check asked with 1, not -1", "K", 1, false, "preset", 7, 8, nullptr},
        {"units read fails", "K", VARIANT_TRUE, true, "preset", 7, 8, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        bindtest::SetText("PLANT2", plant_.record, SeededNode::kUnitsTag, row.fieldText.c_str());
        if (row.readFails) KhSim_FailCall(KHSIM_API, "RDBASCII", KELDRIN_E_NOFIELD, 0, 0, 1);
        auto p = Bound("PLANT2");
        p->put_Units(B("degC").get());
        p->put_BoundUnits(B("preset").get());
        p->put_UnitConversionMultiplier(7);
        p->put_UnitConversionOffset(8);
        Outcome out = Validate2(p.get(), row.checkUnits);
        EXPECT_EQ(out.hr, S_OK);  // the identifiers were all new
        EXPECT_EQ(out.text, row.failure ? failed + row.failure : "(null)");
        EXPECT_EQ(TextOf(p.get(), &IMvParameter::get_BoundUnits), row.boundUnits);
        EXPECT_EQ(Factors(p.get()), std::make_pair(row.multiplier, row.offset));
    }

    // The units check reads the text through ReadEngUnits and its frame.
    bindtest::LogMark log(/*methods=*/true);
    Validate2(Bound("PLANT2").get(), VARIANT_TRUE);
    EXPECT_EQ(log.Count("CMvParameter::CheckEngUnits: Method - Start"), 1u);
    EXPECT_EQ(log.Count("CMvParameter::ReadEngUnits: Method - End (S_OK)"), 1u);
    MvSetUnitConvColl(nullptr);
}

TEST_F(ValidationTest, ProcessDataTagsAreCheckedWithTheirSource) {
    procdata::Reset();
    ASSERT_EQ(procdata::Register(), S_OK);
    procdata::AddDataSource("DS1");
    procdata::AddPlantTag("DS1", "TAG1");
    struct Row {
        const char* name;
        const char* dataSource;
        const char* tag;
        bool registered;
        HRESULT hr;
        const char* text;
    } rows[] = {
        {"known tag", "DS1", "TAG1", true, S_FALSE, "(null)"},
        {"unknown tag", "DS1", "TAG9", true, S_OK,
         "Failed to validate parameter \"P1\": Tag is not valid"},
        {"unknown data source", "DS9", "TAG1", true, S_OK,
         "Failed to validate parameter \"P1\": Tag is not valid"},
        {"no component", "DS1", "TAG1", false, S_OK,
         "Failed to validate parameter \"P1\": Tag is not valid"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (!row.registered) procdata::Revoke();
        auto p = Bound(row.dataSource, mvcProcessData);
        p->put_RecordName(B(row.tag).get());
        Outcome out = Validate(p.get());
        EXPECT_EQ(out.hr, row.hr);
        EXPECT_EQ(out.text, row.text);
        EXPECT_TRUE(procdata::CollectedTags("DS1").empty());
        EXPECT_EQ(procdata::LiveInstances(), 0);
    }
    procdata::Revoke();
    procdata::Reset();
}

TEST_F(ValidationTest, RenamedServerIsValidatedOnItsNewNode) {
    // PLANT3 holds the same names under other identifiers.
    ASSERT_GT(KhSim_AddServer("PLANT3", 11, 3, 0), 0);
    KhSim_AddRecord("PLANT3", "FILLER1", 0);
    KhSim_AddRecord("PLANT3", "FILLER2", 0);
    SeededNode renamed;
    renamed.node = "PLANT3";
    renamed.definition = KhSim_AddRecord("PLANT3", "TAGDEF", 0);
    renamed.record = KhSim_AddRecord("PLANT3", "TAG1", renamed.definition);
    ASSERT_NE(renamed.record, plant_.record);
    ASSERT_EQ(KhSim_AddField("PLANT3", renamed.record, "VALUE", SeededNode::kValueTag, -5, 0), 1);
    ASSERT_EQ(KhSim_AddField("PLANT3", renamed.record, "HIST", SeededNode::kHistoryTag, -5, 0), 1);

    auto p = NewParameter();
    p->put_Name(B("P1").get());
    p->put_FieldName(B("VALUE").get());
    p->put_HistoryFieldName(B("HIST").get());
    mv::Bstr error;
    ASSERT_EQ(p->SetUsingMap(B("PLANT2").get(), B("TAG1").get(), nullptr, error.Out()), S_OK);
    ASSERT_EQ(error.get(), nullptr);
    EXPECT_EQ(Validate(p.get()).hr, S_FALSE);

    EXPECT_EQ(p->ChangeServerName(B("plant2").get(), 0, B("PLANT3").get(), 0), S_OK);
    Outcome out = Validate(p.get());
    EXPECT_EQ(out.hr, S_OK);
    EXPECT_EQ(out.text, "(null)");
    EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_Record_ID), renamed.record);
    EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_FieldType), -5);
    EXPECT_EQ(Validate(p.get()).hr, S_FALSE);
}

}  // namespace
