// The environment's ADO bridge over the SQLite stand-in: every outcome in
// ErrorText, S_OK always.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "environment/calc_environment.h"
#include "frame/object_server.h"
#include "hosted_servers_sim.h"

namespace {

using hosted::Counter;
using hosted::Server;

// The elements of a VARIANT array as text, joined by commas.
std::string Joined(const VARIANT& v) {
    if (v.vt != (VT_ARRAY | VT_VARIANT)) return "vt=" + std::to_string(v.vt);
    std::string out;
    for (LONG i = 0; i < static_cast<LONG>(v.parray->rgsabound[0].cElements); ++i) {
        mv::Variant item, text;
        SafeArrayGetElement(v.parray, &i, &item);
        text.ChangeType(VT_BSTR, &item);
        out += (i ? "," : "") + mv::ToUtf8(text.bstrVal);
    }
    return out;
}

std::string Text(const VARIANT& v) {
    return v.vt == VT_BSTR ? mv::ToUtf8(v.bstrVal) : "vt=" + std::to_string(v.vt);
}

class AdoBridge : public ::testing::Test {
protected:
    void SetUp() override {
        hosted::Reset();
        const std::string db = std::string(std::getenv("MORVA_COMMON_APPDATA")) + "/bridge.db";
        std::filesystem::remove(db);
        sqlite3* handle = nullptr;
        ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
        sqlite3_exec(handle,
                     "CREATE TABLE readings(id INTEGER, tag TEXT, value REAL, count INTEGER)",
                     nullptr, nullptr, nullptr);
        sqlite3_close(handle);
        ASSERT_EQ(hosted::WriteDataSource("PlantDB", db), S_OK);
        ASSERT_EQ(mv::CreateComObject<CMvCalcEnvironment>(nullptr, IID_IMvCalcEnvironment,
                                                          env_.PutVoid()),
                  S_OK);
    }
    void TearDown() override {
        env_.Reset();
        ObjectServer_Stop();
        EXPECT_EQ(hosted::Count(Counter::RecordSetsAlive), 0);
        hosted::RevokeServers();
        hosted::Reset();
    }
    // ErrorText starts holding a string, which the call must clear.
    std::string QueryInfo(const char16_t* connection, const char16_t* query, mv::Variant& names,
                          mv::Variant& types) {
        mv::Bstr c(connection), q(query);
        BSTR pc = c.get(), pq = q.get();
        mv::Variant error(u"stale");
        EXPECT_EQ(env_->AdoQueryInfo(&pc, &pq, &names, &types, &error), S_OK);
        return error.vt == VT_BOOL ? (error.boolVal ? "true" : "false") : Text(error);
    }
    mv::ComPtr<IMvCalcEnvironment> env_;
};

TEST_F(AdoBridge, QueryInfoConnectAndCloseAnswerInErrorText) {
    ASSERT_EQ(hosted::RegisterServers(hosted::Bit(Server::Ado)), S_OK);
    mv::Variant names, types;
    EXPECT_EQ(QueryInfo(u"PlantDB", u"SELECT tag, value, count FROM readings", names, types),
              "true");
    EXPECT_EQ(Joined(names), "tag,value,count");
    EXPECT_EQ(Joined(types), "202,5,3");

    mv::Variant untouched(LONG{5}), alsoUntouched(LONG{6});
    EXPECT_EQ(QueryInfo(u"Nowhere", u"SELECT 1", untouched, alsoUntouched),
              "Data source name not found: Nowhere");
    EXPECT_EQ(untouched.lVal + alsoUntouched.lVal, 11);

    mv::Bstr name(u"PlantDB"), user(u"u"), password(u"p");
    BSTR pn = name.get(), pu = user.get(), pp = password.get();
    mv::Variant error(u"stale");
    EXPECT_EQ(env_->AdoConnect(&pn, &pu, &pp, 0, &error), S_OK);
    EXPECT_EQ(error.vt, VT_BOOL);
    EXPECT_EQ(env_->AdoClose(&pn, &error), S_OK);
    EXPECT_EQ(error.vt, VT_BOOL);
    EXPECT_EQ(env_->AdoClose(&pn, &error), S_OK);
    EXPECT_EQ(Text(error), "Data source PlantDB is not connected.");

    // A thrown field call still releases the record set (TearDown counts).
    hosted::SetFailure(Server::Ado, 0x60030003, E_FAIL, u"fields broke");
    EXPECT_EQ(QueryInfo(u"PlantDB", u"SELECT tag FROM readings", names, types), "fields broke");
    for (const hosted::Call& call : hosted::Calls())
        EXPECT_EQ(call.thread, g_pObjectServer->m_Thread.ThreadId());
}

TEST_F(AdoBridge, WithoutTheServerErrorTextSaysWhy) {
    mv::Variant names, types;
    const std::string why = QueryInfo(u"PlantDB", u"SELECT 1", names, types);
    EXPECT_TRUE(why == "vt=3" || why.find("MvFunctions.clsAdoServer") != std::string::npos) << why;
    EXPECT_EQ(names.vt, VT_EMPTY);
}

}  // namespace
