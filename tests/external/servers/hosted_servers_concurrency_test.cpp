// Record sets made on the object-server thread and released by the threads
// that asked for them.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "frame/hosted_servers.h"
#include "frame/object_server.h"
#include "hosted_servers_sim.h"

namespace {

using hosted::Counter;
using hosted::Server;

TEST(HostedServersConcurrency, ThreadsReleaseTheRecordSetsTheServerThreadMadeForThem) {
    const std::string db = std::string(std::getenv("MORVA_COMMON_APPDATA")) + "/threads.db";
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
    sqlite3_exec(handle, "CREATE TABLE t(v INTEGER); INSERT INTO t VALUES (7)", 0, 0, 0);
    sqlite3_close(handle);
    ASSERT_EQ(hosted::WriteDataSource("Threads", db), S_OK);
    ASSERT_EQ(hosted::RegisterServers(), S_OK);
    hosted::Reset();
    mv::ComPtr<IDispatch> ado;
    ado.Attach(ObjectServer_GetAdoServer());
    ASSERT_TRUE(ado);

    constexpr int kThreads = 4, kRounds = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            mv::Bstr name(u"Threads"), sql(u"SELECT v FROM t");
            for (int i = 0; i < kRounds; ++i) {
                BSTR pn = name.get(), pq = sql.get();
                mv::Variant error, rows;
                VARIANT_BOOL flag = VARIANT_FALSE;
                IDispatch* rs = AdoServer_Call60030000(ado.get(), &pn, &pq, &error);
                ASSERT_NE(rs, nullptr);
                AdoServer_Call60030004(ado.get(), &rs, &flag, &rows);
                rs->Release();
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(hosted::Count(Counter::AdoQueries), kThreads * kRounds);
    EXPECT_EQ(hosted::Count(Counter::AdoFetches), kThreads * kRounds);
    EXPECT_EQ(hosted::CallCount(Server::Ado, 0x60030000), kThreads * kRounds);
    EXPECT_EQ(hosted::Count(Counter::RecordSetsAlive), 0);
    for (const hosted::Call& call : hosted::Calls())
        EXPECT_EQ(call.thread, g_pObjectServer->m_Thread.ThreadId());
    ado.Reset();
    ObjectServer_Stop();
    hosted::RevokeServers();
    hosted::Reset();
}

}  // namespace
