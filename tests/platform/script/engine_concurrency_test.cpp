// Engines share no mutable state: eight threads run their own at once, each
// starting Rnd's sequence afresh, and share the texts they have parsed.
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

// One text shared by every thread and one of each thread's own: the shared
// text is kept once however many threads parse it at the same time.
TEST(ScriptEngineConcurrency, ThreadsShareKeptTexts) {
    constexpr int kThreads = 8, kRuns = 30;
    mv::script::ClearProgramCacheForTesting();
    std::vector<std::string> shared(kThreads), own(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &shared, &own] {
            mv::ComPtr<mv::ComObject<CTestItem>> r;
            ASSERT_EQ(mv::MakeComObject(&r), S_OK);
            TestSite site;
            site.items[u"R"] = static_cast<ITestItem*>(r.get());
            const std::string mine = "R = R & \"" + std::to_string(t) + "\"";
            for (int run = 0; run < kRuns; ++run) {
                r->value = mv::Variant(LONG{t});
                RunScript("Dim k : For k = 1 To 10 : R = R + k : Next : R = R & \"!\"", site);
                shared[t] = mv::test::Spec(r->value);
                RunScript(mine.c_str(), site);
                own[t] = mv::test::Spec(r->value);
            }
            EXPECT_TRUE(site.errors.empty());
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(shared[t], "Str:" + std::to_string(t + 55) + "!") << t;
        EXPECT_EQ(own[t], "Str:" + std::to_string(t + 55) + "!" + std::to_string(t)) << t;
    }
    EXPECT_EQ(mv::script::ProgramCacheCountsForTesting().entries, size_t{kThreads + 1});
}

}  // namespace
