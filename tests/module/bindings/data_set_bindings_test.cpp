// Data sets filled from the ADO server over SQLite in runs, inputs bound to
// their cells, and the texts of every failure.
#include "data_set_run_test_support.h"

namespace keldtest {
namespace {

using hosted::Counter;
using hosted::Server;
using parameter_test::ExpectSame;
using parameter_test::Typed;

TEST_F(DataSetRun, InputsReadTheirCellsAndStaticDataQueriesOnce) {
    for (LONG staticData : {1, 0}) {
        SCOPED_TRACE(staticData);
        hosted::Reset();
        Build(staticData);
        ASSERT_EQ(Run(), "");
        ExpectSame(ValueOf(value_.get()), Typed(VT_R8, 20.5));
        EXPECT_EQ(mv::ToUtf8(ValueOf(tag_.get()).bstrVal), "PI-303");
        ExpectSame(ValueOf(count_.get()), Typed(VT_I4, 10.0));
        Exec(db_, "UPDATE readings SET value = 99 WHERE id = 1");
        ASSERT_EQ(Run(), "");
        ExpectSame(ValueOf(value_.get()), Typed(VT_R8, staticData ? 20.5 : 99.0));
        EXPECT_EQ(hosted::Count(Counter::AdoConnects), 1);
        EXPECT_EQ(hosted::Count(Counter::AdoQueries), staticData ? 1 : 2);
        for (const hosted::Call& call : hosted::Calls())
            EXPECT_EQ(call.thread, g_pObjectServer->m_Thread.ThreadId());
        Exec(db_, "UPDATE readings SET value = 20.5 WHERE id = 1");
        calc_.Reset();
        ObjectServer_Stop();
    }
}

TEST_F(DataSetRun, FailuresGiveTheirTexts) {
    const std::string frame =
        "Error invoking ADO query for connection PlantDB (Data set name: Readings). ";
    struct Case {
        const char* name;
        std::function<void(DataSetRun&)> change;
        std::string error;
        LONG connected;
    };
    const std::vector<Case> cases = {
        {"missing data set", [](DataSetRun& t) { t.Cell("X", VT_I4, "tag", 0, "Nowhere"); },
         "Binding Error: DataSet 'Nowhere' Not Found.", 1},
        {"missing column", [](DataSetRun& t) { t.Cell("X", VT_I4, "nothing", 0); },
         "Binding Error: DataSet Readings Column 'nothing' Not Found.", 1},
        {"refused connect", [](DataSetRun& t) { t.Set()->put_ConnectionName(B("Unknown").get()); },
         "Error invoking ADO query for connection Unknown (Data set name: Readings). "
         "Error opening ADO connection. Data source name not found: Unknown",
         0},
        {"query text",
         [](DataSetRun& t) { t.Set()->put_QueryString(B("SELECT missing FROM readings").get()); },
         frame + "no such column: missing", 0},
        {"null record set without text",
         [](DataSetRun&) {
             mv::Variant none;
             none.vt = VT_DISPATCH;
             none.pdispVal = nullptr;
             hosted::SetResult(Server::Ado, 0x60030000, none);
         },
         frame + "Query error.", 0},
        {"dispatch exception",
         [](DataSetRun&) { hosted::SetFailure(Server::Ado, 0x60030000, E_FAIL, u"broken"); },
         frame + "broken", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hosted::Reset();
        Build(0);
        c.change(*this);
        EXPECT_EQ(Run(), c.error);
        LONG connected = -1;
        Set()->get_AdoConnected(&connected);
        EXPECT_EQ(connected, c.connected);
        EXPECT_EQ(hosted::Count(Counter::RecordSetsAlive), 0);
    }
}

}  // namespace
}  // namespace keldtest
