// Data sets filled from the ADO server over SQLite in runs, inputs bound to
// their cells, and the texts of every failure.
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>

#include "frame/object_server.h"
#include "hosted_servers_sim.h"
#include "keldrin_bindings_test_support.h"

namespace keldtest {
namespace {

using hosted::Counter;
using hosted::Server;
using parameter_test::ExpectSame;
using parameter_test::Typed;

void Exec(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

class DataSetRun : public KeldrinWorld {
public:
    void SetUp() override {
        KeldrinWorld::SetUp();
        db_ = std::string(std::getenv("MORVA_COMMON_APPDATA")) + "/plant.db";
        std::filesystem::remove(db_);
        Exec(db_,
             "CREATE TABLE readings(id INTEGER, tag TEXT, value REAL, count INTEGER);"
             "INSERT INTO readings VALUES (1, 'TI-101', 20.5, 7), (2, 'FI-202', 7.25, 30),"
             " (3, 'PI-303', 1500, 12);");
        ASSERT_EQ(hosted::WriteDataSource("PlantDB", db_), S_OK);
        ASSERT_EQ(hosted::RegisterServers(hosted::Bit(Server::Ado)), S_OK);
        hosted::Reset();
    }
    void TearDown() override {
        calc_.Reset();
        ObjectServer_Stop();
        EXPECT_EQ(hosted::Count(Counter::RecordSetsAlive), 0);
        hosted::RevokeServers();
        hosted::Reset();
        KeldrinWorld::TearDown();
    }
    // A calculation with the readings data set and three bound inputs.
    void Build(LONG staticData) {
        calc_ = Calc();
        mv::ComPtr<IMvDataSet> set;
        ASSERT_EQ(calc_->AddDataSet(B("Readings").get(), set.Put()), S_OK);
        set->put_ConnectionName(B("PlantDB").get());
        set->put_QueryString(B("SELECT tag, value, count FROM readings ORDER BY id").get());
        set->put_StaticData(staticData);
        for (const char* column : {"tag", "value", "count"}) {
            mv::ComPtr<IMvDataSetColumn> c;
            ASSERT_EQ(set->AddDataSetColumn(B(column).get(), c.Put()), S_OK);
        }
        value_ = Cell("Value", VT_R8, "value", 0);
        tag_ = Cell("Tag", VT_BSTR, "tag", 2);
        count_ = Cell("Count", VT_I4, "count", 1);
        count_->put_UnitConversionMultiplier(2.0);
        count_->put_UnitConversionOffset(10.0);
    }
    mv::ComPtr<IMvParameter> Cell(const char* name, LONG type, const char* column, LONG row,
                                  const char* dataSet = "Readings") {
        auto p = Param(calc_.get(), name, mvcInput, mvcDataSet);
        p->put_Type(type);
        p->put_DataSetName(B(dataSet).get());
        p->put_ColumnName(B(column).get());
        p->put_RowNumber(row);
        return p;
    }
    mv::ComPtr<IMvDataSet> Set() {
        mv::ComPtr<IMvDataSet> set;
        calc_->GetDataSet(B("Readings").get(), set.Put());
        return set;
    }
    std::string Run() {
        calc_->Calculate();
        return Error(calc_.get());
    }
    std::string db_;
    mv::ComPtr<IMvCalculation> calc_;
    mv::ComPtr<IMvParameter> value_, tag_, count_;
};

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
