// The ADO server stand-in over SQLite, driven through the module's wrappers:
// data sources, queries, field information and rows.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "frame/hosted_servers.h"
#include "hosted_servers_sim.h"

namespace {

using hosted::Counter;
using hosted::Server;

void Exec(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &error), SQLITE_OK) << error;
    sqlite3_free(error);
    sqlite3_close(db);
}

// A VARIANT as compact text: {..} for an array of VARIANTs, x'..' for bytes,
// i/l/d before a 32-bit, 64-bit or real number, a text in quotes.
std::string Render(const VARIANT& v) {
    LONG lo = 0, hi = -1;
    if (v.vt & VT_ARRAY) {
        SafeArrayGetLBound(v.parray, 1, &lo);
        SafeArrayGetUBound(v.parray, 1, &hi);
    }
    const bool bytes = v.vt == (VT_ARRAY | VT_UI1);
    if (v.vt & VT_ARRAY) {
        std::string out = bytes ? "x'" : "{";
        for (LONG i = lo; i <= hi; ++i) {
            mv::Variant item;  // a byte lands in its first field
            SafeArrayGetElement(v.parray, &i, bytes ? static_cast<void*>(&item.bVal) : &item);
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02x", item.bVal);
            out += bytes ? hex : (i > lo ? ", " : "") + Render(item);
        }
        return out + (bytes ? "'" : "}");
    }
    mv::Variant text;
    text.ChangeType(VT_BSTR, &v);
    std::string t = text.vt == VT_BSTR ? mv::ToUtf8(text.bstrVal) : "";
    switch (v.vt) {
        case VT_I4:
        case VT_I8:
        case VT_R8:
            return (v.vt == VT_I4 ? "i" : v.vt == VT_I8 ? "l" : "d") + t;
        case VT_BSTR:
            return "'" + t + "'";
        case VT_BOOL:
            return v.boolVal ? "true" : "false";
        case VT_NULL:
            return "null";
        default:
            return "vt=" + std::to_string(v.vt);
    }
}

class AdoServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        hosted::Reset();
        dir_ = std::string(std::getenv("MORVA_COMMON_APPDATA")) + "/ado";
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        db_ = dir_ + "/plant.db";
        Exec(db_,
             "CREATE TABLE readings(id INTEGER, tag TEXT, value REAL, count INTEGER);"
             "INSERT INTO readings VALUES (1, 'TI-101', 20.5, 30), (2, 'FI-202', 7.25, -4),"
             " (3, 'PI-303', 1500, 12);"
             "CREATE TABLE kinds(a INT, b BIGINT, c DOUBLE, d VARCHAR(10), e NUMERIC, f BLOB,"
             " g FLOAT, h CLOB);"
             "INSERT INTO kinds VALUES (1, 9000000000, 0.25, 'x', NULL, x'01ff', 2, 'Ü');");
        ASSERT_EQ(hosted::WriteDataSource("PlantDB", db_), S_OK);
        ASSERT_EQ(hosted::RegisterServers(hosted::Bit(Server::Ado)), S_OK);
        CoCreateInstance(hosted::ClassId(Server::Ado), nullptr, CLSCTX_ALL, IID_IDispatch,
                         ado_.PutVoid());
        ASSERT_TRUE(ado_);
    }
    void TearDown() override {
        ado_.Reset();
        hosted::RevokeServers();
        hosted::Reset();
        EXPECT_EQ(hosted::Count(Counter::RecordSetsAlive), 0);
    }

    mv::Variant Connect(const char* name) {
        mv::Bstr n{std::string_view(name)}, user(u"operator"), password(u"secret");
        BSTR pn = n.get(), pu = user.get(), pp = password.get();
        LONG options = 16;
        return AdoServer_Call60030001(ado_.get(), &pn, &pu, &pp, &options);
    }
    mv::Variant Close(const char* name) {
        mv::Bstr n{std::string_view(name)};
        BSTR pn = n.get();
        return AdoServer_Call60030002(ado_.get(), &pn);
    }
    mv::ComPtr<IDispatch> Query(const char* name, const char* sql, VARIANT* error) {
        mv::Bstr n{std::string_view(name)}, q{std::string_view(sql)};
        BSTR pn = n.get(), pq = q.get();
        mv::ComPtr<IDispatch> rs;
        rs.Attach(AdoServer_Call60030000(ado_.get(), &pn, &pq, error));
        return rs;
    }
    // "names | types | rows" of a record set, with each call's result.
    std::string Read(IDispatch* rs) {
        IDispatch* p = rs;
        mv::Variant names, types, rows;
        VARIANT_BOOL flag = VARIANT_FALSE;
        mv::Variant info = AdoServer_Call60030003(ado_.get(), &p, &names, &types);
        mv::Variant fetched = AdoServer_Call60030004(ado_.get(), &p, &flag, &rows);
        return Render(info) + " " + Render(names) + " " + Render(types) + " " + Render(fetched) +
               " " + Render(rows);
    }

    std::string dir_, db_;
    mv::ComPtr<IDispatch> ado_;
};

TEST_F(AdoServerTest, ConnectOpensRegisteredSqliteFilesOnlyOncePerName) {
    Exec(dir_ + "/empty.db", "PRAGMA user_version = 1");
    std::ofstream(dir_ + "/notes.txt")
        << "not a database, but long enough to be read as one......" << std::string(200, 'x');
    ASSERT_EQ(hosted::WriteDataSource("Empty", dir_ + "/empty.db"), S_OK);
    ASSERT_EQ(hosted::WriteDataSource("Gone", dir_ + "/gone.db"), S_OK);
    ASSERT_EQ(hosted::WriteDataSource("Notes", dir_ + "/notes.txt"), S_OK);
    ASSERT_EQ(hosted::WriteDataSource("Blank", ""), S_OK);
    struct Row {
        const char* name;
        const char* expected;
        int connects;  // databases opened so far
    };
    const Row rows[] = {
        {"PlantDB", "true", 1},
        {"plantdb", "true", 1},  // names ignore case: still the one connection
        {"Empty", "true", 2},
        {"", "'No data source name given.'", 2},
        {"Nowhere", "'Data source name not found: Nowhere'", 2},
        {"Plant\\DB", "'Data source name not found: Plant\\DB'", 2},
        {"Blank", "'Data source Blank names no database.'", 2},
        {"Gone", "'Cannot open data source Gone: unable to open database file'", 2},
        {"Notes", "'Cannot open data source Notes: file is not a database'", 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Render(Connect(row.name)), row.expected);
        EXPECT_EQ(hosted::Count(Counter::AdoConnects), row.connects);
    }
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/gone.db"));  // never created
    EXPECT_EQ(hosted::Calls()[0].args,
              (std::vector<std::string>{"PlantDB", "operator", "secret", "16"}));

    EXPECT_EQ(Render(Close("PLANTDB")), "true");
    EXPECT_EQ(Render(Close("PlantDB")), "'Data source PlantDB is not connected.'");

    // A database another connection holds exclusively cannot be opened.
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(db_.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(Render(Connect("PlantDB")), "'Cannot open data source PlantDB: database is locked'");
    sqlite3_close(holder);
    EXPECT_EQ(Render(Connect("PlantDB")), "true");
}

TEST_F(AdoServerTest, QueryGivesNamesAdoTypesAndRowsOfEveryCellKind) {
    ASSERT_EQ(Render(Connect("PlantDB")), "true");
    mv::Variant error{u"untouched"};
    auto rs = Query("PlantDB", "SELECT tag, value, count FROM readings ORDER BY id", &error);
    ASSERT_TRUE(rs);
    EXPECT_EQ(Render(error), "'untouched'");
    EXPECT_EQ(Read(rs.get()),
              "true {'tag', 'value', 'count'} {i202, i5, i3} true {{'TI-101', d20.5, i30}, "
              "{'FI-202', d7.25, i-4}, {'PI-303', d1500, i12}}");
    EXPECT_EQ(hosted::Count(Counter::RecordSetsAlive), 1);

    auto kinds = Query("PlantDB", "SELECT a, b, c, d, e, f, g, h, a + 1 AS s FROM kinds", &error);
    ASSERT_TRUE(kinds);
    EXPECT_EQ(Read(kinds.get()),
              "true {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 's'} {i3, i3, i5, i202, i12, i205, "
              "i5, i202, i12} true {{i1, l9000000000, d0.25, 'x', null, x'01ff', d2, 'Ü', i2}}");
    auto none = Query("PlantDB", "SELECT tag FROM readings WHERE id > 10", &error);
    ASSERT_TRUE(none);
    EXPECT_EQ(Read(none.get()), "true {'tag'} {i202} true {}");

    EXPECT_EQ(hosted::Count(Counter::AdoQueries), 3);
    EXPECT_EQ(hosted::Count(Counter::AdoFetches), 3);
    EXPECT_EQ(hosted::Count(Counter::RecordSetsAlive), 3);
    rs.Reset();
    kinds.Reset();
    none.Reset();
    EXPECT_EQ(hosted::Count(Counter::RecordSetsAlive), 0);
}

TEST_F(AdoServerTest, RefusedQueriesGiveNoRecordSetAndTheReasonAndChangeNothing) {
    struct Row {
        const char* name;
        const char* sql;
        const char* error;
    };
    const Row rows[] = {
        {"PlantDB", "SELECT * FROM missing", "'no such table: missing'"},
        {"PlantDB", "SELEC 1", "'near \"SELEC\": syntax error'"},
        {"PlantDB", "SELECT 1; DELETE FROM readings", "'The query holds more than one statement.'"},
        {"PlantDB", "SELECT 1; garbage", "'The query holds more than one statement.'"},
        {"PlantDB", "  ; -- nothing", "'The query is empty.'"},
        {"PlantDB", "DELETE FROM readings", "'The query returns no columns.'"},
        {"Nowhere", "SELECT 1", "'Data source name not found: Nowhere'"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.sql);
        mv::Variant error{LONG{5}};
        EXPECT_FALSE(Query(row.name, row.sql, &error));
        EXPECT_EQ(Render(error), row.error);
    }
    // Nothing ran: the rows are all there. A query needs no connect of its
    // own, and blanks, semicolons and comments may follow it.
    mv::Variant error;
    auto rs = Query("PlantDB", "SELECT count(*) FROM readings; -- all of them\n", &error);
    ASSERT_TRUE(rs);
    EXPECT_EQ(Read(rs.get()), "true {'count(*)'} {i12} true {{i3}}");
    EXPECT_EQ(hosted::Count(Counter::AdoConnects), 0);
    EXPECT_EQ(hosted::Count(Counter::AdoQueries), 1);
    // Only this server's record sets are read.
    EXPECT_EQ(Read(ado_.get()),
              "'No record set of this server.' vt=0 vt=0 'No record set of this server.' vt=0");
    EXPECT_EQ(hosted::Count(Counter::AdoFetches), 1);
}

}  // namespace
