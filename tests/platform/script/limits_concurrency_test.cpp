// The engine's limits, each on a thread of its own: the statement budget
// stops loops whatever their bodies (under a watchdog, so that a loop it
// does not stop fails the test instead of hanging it), and recursion stops
// with "Out of stack space" on a thread with a small stack instead of
// overflowing it.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>

#include "../../support/bounded_run.h"
#include "../../support/under_valgrind.h"
#include "script_test_support.h"

namespace {

class ScriptLimits : public ScriptItemsTest {
protected:
    void TearDown() override { mv::script::SetStatementBudgetForTesting(0); }
};

TEST_F(ScriptLimits, TheStatementBudgetStopsLoopsWithEmptyBodies) {
    const char* scripts[] = {
        "x = 1\nDo\nLoop",
        "x = 1\nDo While True\nLoop",
        "x = 1\nDo\nLoop Until False",
        "x = 1\nWhile True\nWend",
        "x = 1\nFor i = 1 To 2000000000\nNext",
        "ReDim a(100000)\nFor Each v In a\nNext",
    };
    mv::script::SetStatementBudgetForTesting(1000);
    mv::test::WithinLimit(std::chrono::seconds(60), [&] {
        for (const char* script : scripts) {
            SCOPED_TRACE(script);
            site_.errors.clear();
            EXPECT_EQ(RunScript(script, site_), S_OK);
            ASSERT_EQ(site_.errors.size(), 1u);
            EXPECT_EQ(site_.errors[0].scode, E_ABORT);
            EXPECT_EQ(site_.errors[0].description, "Script stopped: statement budget exhausted");
            EXPECT_EQ(site_.errors[0].line, 1u);
        }
    });
}

// A function that calls itself inside `depth` nested blocks, each opened
// by `open` and closed by `close`.
std::string RecursionInBlocks(const std::string& open, const std::string& close, int depth) {
    std::string script = "a = Array(1)\nFunction F(n)\n";
    for (int i = 0; i < depth; ++i) script += open + "\n";
    script += "F = F(n + 1)\n";
    for (int i = 0; i < depth; ++i) script += close + "\n";
    return script + "End Function\nR = F(1)";
}

// Recursion through calls, through parentheses, through a member that runs
// the engine again and through nested blocks, and nesting in the text.
struct RecursionRow {
    std::string script;
    bool mayRun;  // it may also run to its end
};
std::vector<RecursionRow> RecursionRows() {
    const std::string parens = "x = " + std::string(99, '(') + "1" + std::string(99, ')');
    std::string chain = "R = x";
    for (int i = 0; i < 499; ++i) chain += " + x";
    std::vector<RecursionRow> rows = {
        {"Function F(n) : F = F(n + 1) : End Function : R = F(1)", false},
        {"Function F(n) : F = (((((F(n + 1)))))) : End Function : R = F(1)", false},
        {"Function F(n) : F = 1 + (2 * (3 - F(n + 1))) : End Function : R = F(1)", false},
        {"Sub S(n) : Dim a(1) : a(0) = n : S a(0) + 1 : End Sub : S 1", false},
        {"O.Call", false},  // a formula that runs itself
        {parens, true},
        {chain, true},
        {"Function G(x)\n" + chain + "\nEnd Function\nG 1", true},
        {"x = " + std::string(99, '-') + "1", true},
    };
    for (int depth : {30, 51, 90}) {
        rows.push_back({RecursionInBlocks("For i = 1 To 1", "Next", depth), false});
        rows.push_back({RecursionInBlocks("For Each x In a", "Next", depth), false});
        rows.push_back(
            {RecursionInBlocks("Select Case n\nCase 0\nCase Else", "End Select", depth), false});
        rows.push_back({RecursionInBlocks("Do", "Loop", depth), false});
    }
    return rows;
}

// Runs each row on the calling thread: each is error 28 or runs, and a
// shallow script then still runs.
void ExpectRecursionToRunOutOfStackSpace(const std::vector<RecursionRow>& rows, TestSite& site,
                                         CTestItem& o, const CTestItem& r) {
    o.onCall = [&] { RunScript("O.Call", site); };
    // A call, which the stack has room for at each depth here.
    auto runsSound = [&] {
        site.errors.clear();
        EXPECT_EQ(RunScript("Function F(n)\nF = n + 1\nEnd Function\nR = F(1)", site), S_OK);
        EXPECT_TRUE(site.errors.empty());
        EXPECT_EQ(mv::test::Spec(r.value), "I2:2");
    };
    mv::script::ClearProgramCacheForTesting();  // each text parsed here
    runsSound();
    for (const RecursionRow& row : rows) {
        SCOPED_TRACE(row.script.substr(0, 60));
        site.errors.clear();
        RunScript(row.script.c_str(), site);
        if (!row.mayRun || !site.errors.empty()) {
            ASSERT_EQ(site.errors.size(), 1u);
            EXPECT_EQ(site.errors[0].scode, mv::script::ErrorScode(28));
            EXPECT_EQ(site.errors[0].description, "Out of stack space");
        }
        runsSound();
    }
    o.onCall = nullptr;
}

// On threads whose whole stack is 64 KB to 8 MB, each entered at several
// depths.
TEST_F(ScriptLimits, RecursionOnASmallStackRunsOutOfStackSpaceInsteadOfOverflowing) {
    const std::vector<RecursionRow> rows = RecursionRows();
    mv::test::OnThreadsAtSeveralDepths({64 * 1024, 128 * 1024, 256 * 1024, 8 * 1024 * 1024}, [&] {
        ExpectRecursionToRunOutOfStackSpace(rows, site_, *o_, *r_);
    });
}

TEST_F(ScriptLimits, RecursionOnTheMainThreadRunsOutOfStackSpace) {
    const std::vector<RecursionRow> rows = RecursionRows();
    ExpectRecursionToRunOutOfStackSpace(rows, site_, *o_, *r_);
}

// Valgrind runs the main thread on a stack of its own making that the
// process's map does not name as the stack.
TEST_F(ScriptLimits, RecursionOnTheMainThreadRunsOutOfStackSpaceUnderValgrind) {
    mv::test::PassUnderValgrind("ScriptLimits.RecursionOnTheMainThreadRunsOutOfStackSpace");
}

// A stack that the thread's creator supplied, with no guard page below it,
// inside a larger mapping: a recursion stops within it and writes nothing
// below it.
TEST_F(ScriptLimits, RecursionOnAStackItsCallerSuppliedStaysWithinIt) {
    const std::vector<RecursionRow> rows = RecursionRows();
    constexpr size_t kBelow = 512 * 1024;
    constexpr unsigned char kPattern = 0xA5;
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer refuses a stack its caller supplied under about 900 KB.
    const size_t stacks[] = {size_t{1024} * 1024, size_t{2048} * 1024};
#else
    const size_t stacks[] = {size_t{128} * 1024, size_t{256} * 1024};
#endif
    for (size_t stack : stacks) {
        SCOPED_TRACE(testing::Message() << stack / 1024 << " KB stack");
        void* mapping = mmap(nullptr, kBelow + stack, PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(mapping, MAP_FAILED);
        auto* below = static_cast<unsigned char*>(mapping);
        std::memset(below, kPattern, kBelow);
        mv::test::OnThreadOnStack(below + kBelow, stack, [&] {
            ExpectRecursionToRunOutOfStackSpace(rows, site_, *o_, *r_);
        });
        size_t changed = 0;
        for (size_t i = 0; i < kBelow; ++i) changed += below[i] != kPattern;
        EXPECT_EQ(changed, 0u) << "bytes below the stack written";
        munmap(mapping, kBelow + stack);
    }
}

// Where neither the C library nor the process's map tells a thread's stack
// (no /proc mounted, memory short), a recursion still stops, on the main
// thread and on a small thread.
TEST_F(ScriptLimits, RecursionRunsOutOfStackSpaceWhereTheStackIsNotKnown) {
    const std::vector<RecursionRow> rows = RecursionRows();
    struct SourcesFail {
        SourcesFail() { mv::script::ResetStackFloorForTesting(true); }
        ~SourcesFail() { mv::script::ResetStackFloorForTesting(false); }
    } sourcesFail;
    ExpectRecursionToRunOutOfStackSpace(rows, site_, *o_, *r_);
    mv::test::OnThreadsAtSeveralDepths(
        {64 * 1024}, [&] { ExpectRecursionToRunOutOfStackSpace(rows, site_, *o_, *r_); });
}

// A text too deep for a small thread's stack is refused there, and only
// there: a thread with room parses it again and runs it.
TEST_F(ScriptLimits, ATextRefusedForWantOfStackRunsWhereThereIsRoom) {
    std::string script;
    for (int i = 0; i < 90; ++i) script += "If True Then\n";
    script += "R = 1\n";
    for (int i = 0; i < 90; ++i) script += "End If\n";
    mv::test::OnThreadWithStack(64 * 1024, [&] {
        EXPECT_EQ(RunScript(script.c_str(), site_), SCRIPT_E_REPORTED);
        ASSERT_EQ(site_.errors.size(), 1u);
        EXPECT_EQ(site_.errors[0].scode, mv::script::ErrorScode(28));
    });
    site_.errors.clear();
    EXPECT_EQ(RunScript(script.c_str(), site_), S_OK);
    EXPECT_TRUE(site_.errors.empty());
    EXPECT_EQ(mv::test::Spec(r_->value), "I2:1");
}

}  // namespace
