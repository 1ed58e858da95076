// A calculation over the SQLite data source "PlantDB": a readings table, the
// ADO server registered, and a data set with three inputs bound to its cells.
#pragma once

#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "../executors/formula_artefacts.h"
#include "../frame/log_test_support.h"
#include "frame/object_server.h"
#include "hosted_servers_sim.h"
#include "keldrin_bindings_test_support.h"

namespace keldtest {

inline void Exec(const std::string& path, const char* sql) {
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
        ASSERT_EQ(hosted::RegisterServers(hosted::Bit(hosted::Server::Ado)), S_OK);
        hosted::Reset();
    }
    void TearDown() override {
        calc_.Reset();
        ObjectServer_Stop();
        EXPECT_EQ(hosted::Count(hosted::Counter::RecordSetsAlive), 0);
        hosted::RevokeServers();
        hosted::Reset();
        KeldrinWorld::TearDown();
    }
    // A calculation with the readings data set and three bound inputs.
    void Build(LONG staticData) {
        calc_ = Calc();
        calc_->put_FormulaType(mvcDLL_Execute_Method);
        calc_->put_DllName(B(formula_test::kTestFormulas).get());
        calc_->put_FunctionName(B("ReturnFortyTwo").get());
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
    logtest::ScopedEnv dllPath_{"MORVA_DLL_PATH", formula_test::FormulasDir().c_str()};
    std::string db_;
    mv::ComPtr<IMvCalculation> calc_;
    mv::ComPtr<IMvParameter> value_, tag_, count_;
};

}  // namespace keldtest
