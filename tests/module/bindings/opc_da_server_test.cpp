// The OPC DA client: connecting from a data source, the group it adds, reads
// and writes with their failure texts, and the system-message text helper.
#include "sources/opc_da_server.h"

#include <tuple>

#include "binding_test_support.h"
#include "frame/app_globals.h"
#include "opc_test_support.h"

namespace {

using opctest::kLocal;
using opctest::kRemote;
using opctest::Stamp;

class OpcDaServerTest : public opctest::OpcFixture {};

TEST(FormatHResultText, SystemMessageElseSignedDecimal) {
    EXPECT_EQ(FormatHResultText(E_FAIL), "Unspecified error\r\n");
    EXPECT_EQ(FormatHResultText(REGDB_E_CLASSNOTREG), "Class not registered\r\n");
    EXPECT_EQ(FormatHResultText(OPC_E_UNKNOWNITEMID), "hr=-1073479673");
}

TEST_F(OpcDaServerTest, ConnectOutcomes) {
    opcsim::RegisterNode("NODE3");  // its browser is absent
    opcsim::SetBrowserPresent("NODE3", false);
    AddSource("LOCAL", "plant1");  // this computer, named in another case
    AddSource("REMOTE", kRemote);
    AddSource("NOBROWSER", "NODE3");
    AddSource("NOBROWSER_BADPROGID", "NODE3", nullptr, nullptr, "Nobody.Server");
    AddSource("LOCAL_BADPROGID", "plant1", nullptr, nullptr, "Nobody.Server");
    AddSource("REMOTE_BADPROGID", kRemote, nullptr, nullptr, "Nobody.Server");
    AddSource("EMPTYHOST", "");
    AddSource("NOWHERE", "nowhere");
    dsasim::AddDataSource(kOpcDaServerCategory, "NOHOST");
    dsasim::SetProperty(kOpcDaServerCategory, "NOHOST", "ProgID", mv::Variant(u"X"));
    dsasim::AddDataSource(kOpcDaServerCategory, "NOBAG", false);
    struct Row {
        const char* source;
        void (*arrange)();
        HRESULT hr;
        const char* text;
        const char* node;  // where the server was made; null: nowhere
    } rows[] = {
        {"LOCAL", nullptr, S_OK, "", opcsim::kLocalNode},
        {"REMOTE", nullptr, S_OK, "", kRemote},
        {"NOBROWSER", nullptr, S_OK, "", "NODE3"},  // the ProgID is known here
        {"EMPTYHOST", nullptr, S_OK, "", opcsim::kLocalNode},
        {"MISSING", nullptr, E_FAIL,
         "Get MDSA property: failed to get ProgID property from MISSING DSN", nullptr},
        {"NOBAG", nullptr, E_FAIL,
         "Get MDSA property: failed to get ProgID property from NOBAG DSN", nullptr},
        {"NOHOST", nullptr, E_FAIL, "Failed to get CLSID", nullptr},  // the empty node's browser
        {"LOCAL_BADPROGID", nullptr, E_FAIL, "Failed to get CLSID on plant1: (800401f3)", nullptr},
        {"REMOTE_BADPROGID", nullptr, E_FAIL, "Failed to get CLSID", nullptr},
        {"NOBROWSER_BADPROGID", nullptr, E_FAIL,
         "Create OPC Server Browser instance failed: Class not registered\r\n", nullptr},
        {"NOWHERE", nullptr, HRESULT_FROM_WIN32(1722),
         "Connect to OPC Server on node (nowhere) failed: hr=-2147023174", nullptr},
        {"REMOTE", [] { opcsim::SetFailure(kRemote, opcsim::Call::Create, E_ACCESSDENIED); },
         E_ACCESSDENIED, "Connect to OPC Server on node (NODE2) failed: Access is denied.\r\n",
         nullptr},
        {"REMOTE", [] { opcsim::SetFailure(kRemote, opcsim::Call::AddGroup, E_OUTOFMEMORY); },
         E_OUTOFMEMORY, "Failed to add group for DSN REMOTE: (8007000e)", kRemote},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.source);
        if (row.arrange) row.arrange();
        opctest::g_pauses = 0;
        {
            COPCDAServer server(kLocal);
            std::string text = "stale";
            EXPECT_EQ(server.ConnectFromDataSource(row.source, text), row.hr);
            EXPECT_EQ(text, row.text);
            EXPECT_EQ(server.DataSourceName(), row.source);
            EXPECT_EQ(server.IsReady(), row.hr == S_OK);
            for (const char* node : {opcsim::kLocalNode, kRemote, "NODE3"}) {
                bool here = row.node && std::string(row.node) == node;
                EXPECT_EQ(opcsim::Count(node).liveServers, here ? 1 : 0) << node;
            }
            EXPECT_EQ(opctest::g_pauses, row.node ? 1 : 0);
        }
        // Gone with the object: its group and server references.
        EXPECT_EQ(opcsim::Count(row.node ? row.node : "").liveServers, 0);
        EXPECT_EQ(opcsim::Count(row.node ? row.node : "").liveGroups, 0);
        opcsim::Reset();
    }
    opcsim::SetBrowserPresent("NODE3", true);
    opcsim::UnregisterNode("NODE3");
}

// Each row also reads three items twice: in the caller's order, each item
// added once, "a" and "A" two items.
TEST_F(OpcDaServerTest, GroupAndReadsFollowTheExactFlagText) {
    struct Row {
        const char* source;
        const char* flag;  // null: not set
        bool on;
    } rows[] = {{"A", "-1", true},    {"B", "1", false},     {"C", "TRUE", false},
                {"D", "-1.0", false}, {"E", nullptr, false}, {"F", " -1", false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.flag ? row.flag : "(unset)");
        opcsim::SetItem(kRemote, "A", mv::Variant(1.5), OPC_QUALITY_GOOD, Stamp(10));
        opcsim::SetItem(kRemote, "B", mv::Variant(LONG{7}), 0x1C, Stamp(20));
        opcsim::SetItem(kRemote, "a", mv::Variant(u"low"), 0x40, Stamp(30));
        AddSource(row.source, kRemote, row.flag, row.flag);
        COPCDAServer server(kLocal);
        std::string text;
        ASSERT_EQ(server.ConnectFromDataSource(row.source, text), S_OK);
        EXPECT_EQ(server.UseCache(), row.on);
        EXPECT_EQ(server.BadStatusOnItemError(), row.on);
        for (int pass = 0; pass < 2; ++pass) {
            std::vector<mv::Variant> values(1);  // emptied first
            std::vector<WORD> qualities;
            std::vector<FILETIME> stamps;
            ASSERT_EQ(server.ReadOpcItems({"B", "a", "A"}, values, qualities, stamps, text), S_OK);
            ASSERT_EQ(values.size(), 3u);
            EXPECT_EQ(values[0].lVal, 7);
            EXPECT_EQ(mv::ToUtf8(values[1].bstrVal), "low");
            EXPECT_EQ(values[2].dblVal, 1.5);
            EXPECT_EQ(qualities, (std::vector<WORD>{0x1C, 0x40, OPC_QUALITY_GOOD}));
            EXPECT_EQ(stamps.at(2).dwLowDateTime, 10u);
        }
        ASSERT_EQ(opcsim::Groups().size(), 1u);
        const opcsim::GroupCall g = opcsim::Groups()[0];
        EXPECT_EQ(
            std::tie(g.name, g.active, g.updateRate, g.clientHandle, g.timeBiasGiven, g.deadBand,
                     g.locale),
            std::make_tuple("MORVACALC", row.on ? TRUE : FALSE, 1000u, 1234u, false, 0.0f, 0u));
        auto items = opcsim::AddedItems();
        EXPECT_EQ(items.size(), 3u);
        for (const auto& i : items)
            EXPECT_EQ(std::tie(i.accessPath, i.active, i.clientHandle, i.blobSize, i.requestedType),
                      std::make_tuple("", TRUE, 0u, 0u, VT_EMPTY));
        ASSERT_EQ(opcsim::Reads().size(), 2u);
        EXPECT_EQ(opcsim::Reads()[0].source, row.on ? OPC_DS_CACHE : OPC_DS_DEVICE);
        opcsim::Reset();
    }
}

TEST_F(OpcDaServerTest, ReadFailures) {
    using opcsim::Call;
    struct Row {
        const char* what;
        const char* badStatus;
        const char* items;  // one letter each
        HRESULT hr;
        const char* text;
        void (*arrange)();
    } rows[] = {
        {"unknown item", nullptr, "AX", E_FAIL, "Failed to add OPC item X: Unknown item.",
         [] { opcsim::SetErrorString(OPC_E_UNKNOWNITEMID, u"Unknown item."); }},
        {"unknown item, no server text", nullptr, "X", E_FAIL,
         "Failed to add OPC item X: hr=-1073479673", nullptr},
        {"add items fails", nullptr, "A", E_FAIL,
         "Failed to add item to OPC server: Not enough storage is available to complete this "
         "operation.\r\n",
         [] { opcsim::SetFailure(kRemote, Call::AddItems, E_OUTOFMEMORY); }},
        {"add items succeeds without results", nullptr, "A", E_FAIL,
         "Failed to add item to OPC server: Unspecified error\r\n",
         [] { opcsim::SetFailure(kRemote, Call::AddItems, S_FALSE); }},
        {"an item fails", nullptr, "AB", E_FAIL, "Failed to read OPC item B: Out of range.",
         nullptr},
        {"an item fails, bad status", "-1", "AB", S_OK, "", nullptr},
        {"the call fails, bad status", "-1", "AB", E_ABORT,
         "Failed to read from OPC server: Operation aborted\r\n",
         [] { opcsim::SetFailure(kRemote, Call::Read, E_ABORT); }},
        {"the call fails with arrays, bad status", "-1", "AB", E_FAIL,
         "Failed to read from OPC server: Unspecified error\r\n",
         [] { opcsim::SetReadResult(kRemote, E_FAIL); }},
        {"S_FALSE without arrays, bad status", "-1", "A", E_FAIL,
         "Failed to read from OPC server: Unspecified error\r\n",
         [] { opcsim::SetFailure(kRemote, Call::Read, S_FALSE); }},
        {"the call throws", nullptr, "A", E_FAIL, "Unexpected error reading from OPC Server",
         [] { opcsim::SetThrows(kRemote, Call::Read, true); }},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        opcsim::SetItem(kRemote, "A", mv::Variant(1.0), OPC_QUALITY_GOOD, Stamp(1));
        opcsim::SetItem(kRemote, "B", mv::Variant(2.0), OPC_QUALITY_GOOD, Stamp(2));
        opcsim::SetItemErrors(kRemote, "B", OPC_E_RANGE, S_OK);
        opcsim::SetErrorString(OPC_E_RANGE, u"Out of range.");
        if (row.arrange) row.arrange();
        std::string source = "S" + std::to_string(n++);
        AddSource(source, kRemote, nullptr, row.badStatus);
        COPCDAServer server(kLocal);
        std::string text;
        ASSERT_EQ(server.ConnectFromDataSource(source, text), S_OK);
        std::vector<mv::Variant> values;
        std::vector<WORD> qualities;
        std::vector<FILETIME> stamps;
        std::vector<std::string> items;
        for (const char* p = row.items; *p; ++p) items.emplace_back(1, *p);
        EXPECT_EQ(server.ReadOpcItems(items, values, qualities, stamps, text), row.hr);
        EXPECT_EQ(text, row.text);
        // Only the bad-status read succeeds: its failed item reads as quality 0.
        std::vector<WORD> expected;
        if (row.hr == S_OK) expected = {OPC_QUALITY_GOOD, 0};
        EXPECT_EQ(qualities, expected);
        EXPECT_EQ(values.size(), expected.size());
        EXPECT_EQ(stamps.size(), expected.size());
        opcsim::Reset();
    }
}

TEST_F(OpcDaServerTest, WriteOutcomes) {
    struct Row {
        const char* what;
        void (*arrange)();
        HRESULT hr;
        const char* text;
        const char* valueOfA;  // after the write
    } rows[] = {
        {"written", nullptr, S_OK, "", "5"},
        {"an item refused",
         [] {
             opcsim::SetItemErrors(kRemote, "B", S_OK, OPC_E_BADRIGHTS);
             opcsim::SetErrorString(OPC_E_BADRIGHTS, u"Not writable.");
         },
         E_FAIL, "Failed to write OPC item B: Not writable.", "5"},
        {"S_FALSE without failed items",
         [] { opcsim::SetFailure(kRemote, opcsim::Call::Write, S_FALSE); }, S_FALSE,
         "Failed to write to OPC server: Incorrect function.\r\n", "1"},
        {"the call fails", [] { opcsim::SetFailure(kRemote, opcsim::Call::Write, E_ACCESSDENIED); },
         E_ACCESSDENIED, "Failed to write to OPC server: Access is denied.\r\n", "1"},
        {"the call throws", [] { opcsim::SetThrows(kRemote, opcsim::Call::Write, true); }, E_FAIL,
         "Unexpected error writing from OPC Server", "1"},
    };
    AddSource("OPC2", kRemote);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        opcsim::SetItem(kRemote, "A", mv::Variant(1.0), OPC_QUALITY_GOOD, Stamp(1));
        opcsim::SetItem(kRemote, "B", mv::Variant(2.0), OPC_QUALITY_GOOD, Stamp(2));
        if (row.arrange) row.arrange();
        COPCDAServer server(kLocal);
        std::string text;
        ASSERT_EQ(server.ConnectFromDataSource("OPC2", text), S_OK);
        VARIANT values[2];
        values[0].vt = VT_I4;
        values[0].lVal = 5;
        values[1].vt = VT_BSTR;
        values[1].bstrVal = SysAllocString(u"b");
        EXPECT_EQ(server.WriteOpcItems({"A", "B"}, values, text), row.hr);
        VariantClear(&values[1]);
        EXPECT_EQ(text, row.text);
        mv::Variant a = opcsim::ItemValue(kRemote, "A");
        ASSERT_EQ(a.ChangeType(VT_BSTR), S_OK);
        EXPECT_EQ(mv::ToUtf8(a.bstrVal), row.valueOfA);
        ASSERT_EQ(opcsim::Writes().size(), 1u);
        EXPECT_EQ(opcsim::Writes()[0].values, (std::vector<std::string>{"5", "b"}));
        opcsim::Reset();
    }
}

TEST_F(OpcDaServerTest, UnconnectedObjectRefusesEveryCall) {
    if (g_pGIT) g_pGIT->Release();  // the table is made again on the next registration
    g_pGIT = nullptr;
    bindtest::LogMark log;
    COPCDAServer server(kLocal);
    std::string text;
    std::vector<mv::Variant> values;
    std::vector<WORD> qualities;
    std::vector<FILETIME> stamps;
    EXPECT_EQ(server.ReadOpcItems({"A"}, values, qualities, stamps, text), E_FAIL);
    EXPECT_EQ(text, "Connection has not been established!");
    VARIANT value{};
    EXPECT_EQ(server.WriteOpcItems({"A"}, &value, text), E_FAIL);
    EXPECT_EQ(text, "Connection has not been established!");
    EXPECT_EQ(server.AddGroup(text), E_FAIL);
    EXPECT_EQ(text, "Server is not connected!");
    OpcItem* item = nullptr;
    EXPECT_FALSE(server.AddItem("A", item, text));
    EXPECT_EQ(text, "Group does not exist.");
    EXPECT_EQ(log.Count("COPCDAServer::GetOpcServerInterface - global interface pointer is NULL!"),
              4u);
}

}  // namespace
