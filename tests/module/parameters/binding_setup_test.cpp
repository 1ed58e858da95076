// Historian binding set-up of a parameter against the historian stand-in:
// the local node through the older library, remote nodes through
// keldrin_api, default maps, failures, data sources and server renames.
#include <functional>

#include "../bindings/binding_test_support.h"
#include "dsa_locator_sim.h"
#include "parameter_test_support.h"

namespace {

using bindtest::B;
using bindtest::LogMark;
using bindtest::SeededNode;
using namespace parameter_test;

Outcome SetUsingMap(IMvParameter* p, const std::string& server, const std::string& record,
                    const char* map) {
    mv::Bstr error;
    HRESULT hr =
        p->SetUsingMap(B(server).get(), B(record).get(), map ? B(map).get() : nullptr, error.Out());
    return OutcomeOf(hr, error);
}

class BindingSetUpTest : public bindtest::HistorianFixture {
protected:
    void SetUp() override {
        HistorianFixture::SetUp();
        Seed();
    }
    void Seed() {
        local_.Seed("LOCALNODE", 11, 3, true);
        plant_.Seed("PLANT2", 11, 3, false);
        old_.Seed("OLDPLANT", 11, 2, false);
        for (SeededNode* n : {&local_, &plant_, &old_}) n->AddMap("TAGMAP", false);
    }
    SeededNode* NodeFor(const std::string& server) {
        if (server == "PLANT2" || server == "plant2") return &plant_;
        if (server == "OLDPLANT") return &old_;
        return &local_;
    }

    SeededNode local_, plant_, old_;
};

TEST_F(BindingSetUpTest, BindsThroughTheLibraryOfTheNode) {
    LoadKeldcoreLibrary();
    ASSERT_NE(g_hKeldcore.load(), nullptr);
    std::string computer = g_szComputerName;
    for (char& c : computer) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    struct Row {
        std::string server;
        const char* map;
        bool local;
        const char* search;  // the record search a default map uses
    } rows[] = {
        {"localhost", "", true, "GETRECORDLIST_LNAME"},
        {"LOCALHOST", "TAGMAP", true, nullptr},
        {computer, nullptr, true, "GETRECORDLIST_LNAME"},
        {"PLANT2", nullptr, false, "GETRECORDLIST_LNAME"},
        {"plant2", "tagmap", false, nullptr},
        {"OLDPLANT", "", false, "GETRECORDLIST"},
    };
    for (const Row& row : rows) {
        if (row.server.empty()) continue;  // no computer name to test with
        SCOPED_TRACE(row.server);
        const LONG library = row.local ? KHSIM_KELDCORE : KHSIM_API;
        LONG selects = KhSim_CallCount(KHSIM_API, "DaSelectServer");
        LONG lookups = KhSim_CallCount(KHSIM_API, "DaLookupAlias");
        LONG searches = row.search ? KhSim_CallCount(library, row.search) : 0;
        auto p = NewParameter();
        Outcome out = SetUsingMap(p.get(), row.server, "TAG1", row.map);
        EXPECT_EQ(out.hr, S_OK);
        EXPECT_EQ(out.text, "(null)");
        EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_BindingType), mvcKeldrin);
        EXPECT_EQ(TextOf(p.get(), &IMvParameter::get_NodeName), row.server);
        EXPECT_EQ(TextOf(p.get(), &IMvParameter::get_RecordName), "TAG1");
        EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_Record_ID), NodeFor(row.server)->record);
        EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_Field_ID), 0x00020000);
        EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_HistoryField_ID), 0x00030000);
        EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_FieldType), SeededNode::kValueType);
        EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_StatusField_ID), SeededNode::kStatusTag);
        EXPECT_EQ(KhSim_CallCount(KHSIM_API, "DaSelectServer") > selects, !row.local);
        EXPECT_EQ(KhSim_CallCount(KHSIM_API, "DaLookupAlias") > lookups, !row.local);
        if (row.search) {
            EXPECT_GT(KhSim_CallCount(library, row.search), searches);
        }
    }
}

TEST_F(BindingSetUpTest, FailuresAreToldInTheTextAndLeaveTheBindingAlone) {
    const std::string longName(40000, 'R');
    SeededNode* plant = &plant_;
    struct Row {
        const char* name;
        std::string server, record;
        const char* map;
        std::function<void()> arrange;
        std::string text;
        bool recordLogLines;
    } rows[] = {
        {"unreachable server", "NOWHERE", "TAG1", nullptr, nullptr,
         "Could not connect to server \"NOWHERE\" ( Keldrin server not found. )", false},
        {"unknown record, remote", "PLANT2", "NOPE", nullptr, nullptr,
         "Could not find record \"NOPE\" ( Record not found. )", true},
        {"unknown record, local", "localhost", "NOPE", nullptr, nullptr,
         "Could not find record \"NOPE\" ( Record not found. )", true},
        {"older library absent", "localhost", "TAG1", nullptr,
         [] { KhSim_SetOlderLibraryPresent(0); },
         "Could not find record \"TAG1\" ( Keldrin Not Available. )", true},
        {"record name too long", "PLANT2", longName, nullptr, nullptr,
         "Could not find record \"" + longName + "\" ( Name too long )", true},
        {"unknown map", "PLANT2", "TAG1", "NOMAP", nullptr,
         "Could not find map \"NOMAP\" ( Record not found. )", false},
        {"map name too long", "localhost", "TAG1", longName.c_str(), nullptr,
         "Could not find map \"" + longName + "\" ( Name too long )", false},
        {"no default map among two", "PLANT2", "TAG1", nullptr,
         [plant] { plant->AddMap("OTHERMAP", false); }, "Could not find map \"\"", false},
        {"map references unreadable", "PLANT2", "TAG1", "TAGMAP",
         [] { KhSim_FailCall(KHSIM_API, "MRDBVALS", KELDRIN_E_NOFIELD, 0, 0, 1); },
         "Could not read map fields for \"TAGMAP\"", false},
        {"default map references unreadable", "localhost", "TAG1", "",
         [] { KhSim_FailCall(KHSIM_KELDCORE, "MRDBVALS", KELDRIN_E_NOFIELD, 0, 0, 1); },
         "Could not read map fields for \"\"", false},
        {"field numbers unreadable", "PLANT2", "TAG1", "BADMAP",
         [plant] {
             LONG bad = plant->AddMap("BADMAP", false);
             LONG broken = KhSim_AddRecord("PLANT2", "BROKEN", 0);
             bindtest::SetNumber("PLANT2", bad, bindtest::kValueRefTag, broken);
         },
         "Could not read map fields ID for \"BADMAP\"", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ResetKeldcoreLoader();
        CalcUnloadLibrary();
        KhSim_SetOlderLibraryPresent(1);
        if (row.arrange) row.arrange();
        auto p = NewParameter();
        p->put_BindingType(mvcConstant);
        p->put_NodeName(B("OLD").get());
        p->put_Record_ID(77);
        p->put_Field_ID(88);
        p->put_HistoryField_ID(99);
        LogMark log;
        Outcome out = SetUsingMap(p.get(), row.server, row.record, row.map);
        EXPECT_EQ(out.hr, S_OK);
        EXPECT_EQ(out.text, row.text);
        EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_BindingType), mvcConstant);
        EXPECT_EQ(TextOf(p.get(), &IMvParameter::get_NodeName), "OLD");
        EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_Record_ID), 77);
        EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_Field_ID), 88);
        EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_HistoryField_ID), 99);
        EXPECT_EQ(log.Count("CMvParameter::SetUsingMap: Could not find record: "),
                  row.recordLogLines ? 5u : 0u);
        if (row.recordLogLines) {
            EXPECT_EQ(log.Count(std::string("Could not find record: IsLocal: ") +
                                (row.server == "localhost" ? "True" : "False")),
                      1u);
            EXPECT_EQ(log.Count("Could not find record: DataSource: " + row.server), 1u);
        }
        KhSim_FailCall(KHSIM_BOTH, "MRDBVALS", 0, 0, 0, 0);
    }
}

// Maps of TAGDEF, map i naming value field 10 + i; the flagged one (if any)
// or a lone map is the default.
TEST_F(BindingSetUpTest, DefaultMapSearchRunsOverBatchesOfTen) {
    struct Row {
        int maps;
        int flagged;   // -1: none
        int expected;  // -1: no default map
    } rows[] = {
        {12, 11, 11}, {12, 3, 3},   {21, 20, 20}, {2, 1, 1},
        {1, -1, 0},   {11, -1, -1}, {10, -1, -1}, {11, 10, 10},
    };
    for (const char* server : {"localhost", "PLANT2", "OLDPLANT"}) {
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(server) + ": " + std::to_string(row.maps) + " maps, flag " +
                         std::to_string(row.flagged));
            Forget();
            KhSim_SetOlderLibraryPresent(1);
            SeededNode node;
            node.Seed(std::string(server) == "localhost" ? "LOCALNODE" : server,
                      std::string(server) == "OLDPLANT" ? 11 : 12, 0,
                      std::string(server) == "localhost");
            for (int i = 0; i < row.maps; ++i)
                node.AddMap(("MAP" + std::to_string(i)).c_str(), i == row.flagged, 10 + i, 3);
            auto p = NewParameter();
            Outcome out = SetUsingMap(p.get(), server, "TAG1", nullptr);
            EXPECT_EQ(out.hr, S_OK);
            if (row.expected < 0) {
                EXPECT_EQ(out.text, "Could not find map \"\"");
                EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_BindingType), mvcNone);
            } else {
                EXPECT_EQ(out.text, "(null)");
                EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_Field_ID), (10 + row.expected)
                                                                              << 16);
            }
        }
    }
}

TEST_F(BindingSetUpTest, DataSourceNamesTheHistorianHost) {
    constexpr char kService[] = "{8fa3c7e0-5e2e-11d3-b365-0008c7a0de24}";
    dsasim::Reset();
    ASSERT_EQ(dsasim::Register(), S_OK);
    dsasim::AddDataSource(kService, "HIST1");
    dsasim::SetProperty(kService, "HIST1", "Host", mv::Variant(u"PLANT2"));
    // Which look-ups find nothing is the locator's own test; here only what
    // the set-up makes of found and not found.
    struct Row {
        const char* dataSource;
        const char* text;
        const char* node;
    } rows[] = {
        {"HIST1", "(null)", "PLANT2"},
        {"NOSUCH", "Data source not found", "OLD"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.dataSource);
        auto p = NewParameter();
        p->put_GroupNumber(5);
        p->put_NodeName(B("OLD").get());
        mv::Bstr error;
        EXPECT_EQ(p->SetUsingDataSourceAndMap(B(row.dataSource).get(), B("TAG1").get(), nullptr,
                                              error.Out()),
                  S_OK);
        EXPECT_EQ(OutcomeOf(S_OK, error).text, row.text);
        EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_GroupNumber), 200);
        EXPECT_EQ(TextOf(p.get(), &IMvParameter::get_NodeName), row.node);
    }
    dsasim::Revoke();
    dsasim::Reset();
    EXPECT_EQ(dsasim::LiveLocators(), 0);
}

TEST_F(BindingSetUpTest, ChangeServerNameMovesOnlyMatchingHistorianBindings) {
    struct Row {
        const char* name;
        LONG binding;
        const char* node;  // null: never set
        LONG group;
        const char* oldServer;  // null BSTR when null
        LONG oldGroup;
        HRESULT expect;
    } rows[] = {
        {"same node in other case", mvcKeldrin, "PLANT2", 200, "plant2", 200, S_OK},
        {"empty node and null name", mvcKeldrin, nullptr, 0, nullptr, 0, S_OK},
        {"other group", mvcKeldrin, "PLANT2", 200, "PLANT2", 201, S_FALSE},
        {"other node", mvcKeldrin, "PLANT2", 200, "PLANT3", 200, S_FALSE},
        {"not a historian binding", mvcProcessData, "PLANT2", 200, "PLANT2", 200, S_FALSE},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto p = NewParameter();
        p->put_BindingType(row.binding);
        if (row.node) p->put_NodeName(B(row.node).get());
        p->put_GroupNumber(row.group);
        p->put_Record_ID(12);
        mv::Bstr oldServer = row.oldServer ? B(row.oldServer) : mv::Bstr();
        EXPECT_EQ(p->ChangeServerName(oldServer.get(), row.oldGroup, B("NEWNODE").get(), 300),
                  row.expect);
        bool moved = row.expect == S_OK;
        EXPECT_EQ(TextOf(p.get(), &IMvParameter::get_NodeName),
                  moved ? "NEWNODE" : (row.node ? row.node : ""));
        EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_GroupNumber), moved ? 300 : row.group);
        EXPECT_EQ(NumberOf(p.get(), &IMvParameter::get_Record_ID), 12);
    }
}

}  // namespace
