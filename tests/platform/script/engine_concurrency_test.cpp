// Engines share no mutable state: eight threads run their own at once, each
// starting Rnd's sequence afresh.
#include <gtest/gtest.h>

#include <thread>

#include "script_test_support.h"

namespace {

TEST(ScriptEngineConcurrency, ThreadsRunTheirOwnEngines) {
    constexpr int kThreads = 8, kRuns = 20;
    std::vector<std::string> results(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &results] {
            mv::ComPtr<mv::ComObject<CTestItem>> r;
            ASSERT_EQ(mv::MakeComObject(&r), S_OK);
            TestSite site;
            site.items[u"R"] = static_cast<ITestItem*>(r.get());
            const std::string script =
                "Function F(n) : If n = 0 Then F = 0 Else F = n + F(n - 1)\nEnd Function\n"
                "On Error Resume Next : x = 1 / 0 : e = Err.Number : On Error GoTo 0\n"
                "If Rnd * 16777216 <> 11837123 Then e = e + 100\n"
                "For i = 1 To 50 : s = s + i : Next : R = s + F(" +
                std::to_string(t) + ") + e";
            for (int run = 0; run < kRuns; ++run) RunScript(script.c_str(), site);
            results[t] = mv::test::Spec(r->value);
            EXPECT_TRUE(site.errors.empty());
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(results[t], "I4:" + std::to_string(1275 + t * (t + 1) / 2 + 11)) << t;
}

}  // namespace
