// The object-server thread under concurrent first use and under a stop that
// races with requests for its servers.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "exceptions.h"
#include "frame/hosted_servers.h"
#include "object_server_support.h"

namespace {

using hosted::Server;
using objserver_test::Adopt;
using objserver_test::ObjectServerTest;

constexpr int kThreads = 8;

TEST_F(ObjectServerTest, ConcurrentFirstCallersShareOneStartedThread) {
    ASSERT_EQ(hosted::RegisterServers(), S_OK);
    std::latch go(kThreads);
    std::vector<mv::ComPtr<IDispatch>> got(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            go.arrive_and_wait();
            got[i] = Adopt(i % 2 ? ObjectServer_GetExcelServer() : ObjectServer_GetAdoServer());
        });
    for (auto& t : threads) t.join();

    // Everybody got a server, and each server was created once.
    for (const auto& p : got) EXPECT_TRUE(p);
    EXPECT_EQ(hosted::Creations(Server::Excel), 1);
    EXPECT_EQ(hosted::Creations(Server::Ado), 1);
    ASSERT_NE(g_pObjectServer, nullptr);

    // Calls from every thread run on the one object-server thread.
    threads.clear();
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            mv::Bstr name(u"Plant");
            BSTR text = name.get();
            if (i % 2)
                ExcelServer_Call60030004(got[i].get(), &text);
            else
                AdoServer_Call60030002(got[i].get(), &text);
        });
    for (auto& t : threads) t.join();
    std::vector<hosted::Call> calls = hosted::Calls();
    ASSERT_EQ(calls.size(), static_cast<size_t>(kThreads));
    for (const auto& call : calls) {
        EXPECT_EQ(call.thread, g_pObjectServer->m_Thread.ThreadId());
        EXPECT_EQ(call.args, std::vector<std::string>{"Plant"});
    }
}

TEST_F(ObjectServerTest, StopRacingWithRequestsGivesNullOrAWorkingServer) {
    ASSERT_EQ(hosted::RegisterServers(), S_OK);
    constexpr int kRounds = 20;
    std::atomic<int> served{0};
    std::atomic<int> refused{0};
    std::latch go(kThreads + 1);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&] {
            go.arrive_and_wait();
            for (int round = 0; round < kRounds; ++round) {
                auto excel = Adopt(ObjectServer_GetExcelServer());
                CharString text;
                HRESULT check = ObjectServer_CheckExcelServer(text);
                EXPECT_TRUE(check == S_OK || check == E_INVALIDARG) << check;
                if (!excel) {
                    ++refused;
                    continue;
                }
                mv::Bstr name(u"Plant.xls");
                BSTR bstr = name.get();
                try {
                    ExcelServer_Call60030004(excel.get(), &bstr);
                    ++served;
                } catch (const COleDispatchException& e) {
                    // The server stopped between the request and the call.
                    EXPECT_EQ(e.m_scError, RPC_E_DISCONNECTED);
                    ++refused;
                }
            }
        });
    threads.emplace_back([&] {
        go.arrive_and_wait();
        for (int round = 0; round < kRounds; ++round) ObjectServer_Stop();
    });
    for (auto& t : threads) t.join();

    EXPECT_EQ(served + refused, kThreads * kRounds);
    ObjectServer_Stop();
    EXPECT_EQ(hosted::LiveObjects(Server::Excel), 0);
    // A request after all that still gets a working server.
    auto excel = Adopt(ObjectServer_GetExcelServer());
    ASSERT_TRUE(excel);
    mv::Bstr name(u"Plant.xls");
    BSTR bstr = name.get();
    EXPECT_NO_THROW(ExcelServer_Call60030004(excel.get(), &bstr));
}

TEST_F(ObjectServerTest, ConcurrentStopsEndTheThreadOnce) {
    ASSERT_EQ(hosted::RegisterServers(), S_OK);
    ObjectServer_EnsureStarted();
    ASSERT_NE(g_pObjectServer, nullptr);
    std::latch go(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&] {
            go.arrive_and_wait();
            ObjectServer_Stop();
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(g_pObjectServer, nullptr);
    EXPECT_EQ(hosted::LiveObjects(Server::Ado), 0);
    EXPECT_EQ(hosted::Creations(Server::Ado), 1);
}

}  // namespace
