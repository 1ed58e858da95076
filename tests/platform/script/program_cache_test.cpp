// Parsed texts are kept across engines: a text runs as if freshly parsed
// (its own results, errors and the named items of the engine running it),
// is parsed once while it is kept, and the cache stays within its bounds.
#include <gtest/gtest.h>

#include <string>

#include "../../support/failing_new.h"
#include "script_test_support.h"

namespace {

using mv::script::ProgramCacheCountsForTesting;
using mv::test::Spec;

class ProgramCache : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(mv::MakeComObject(&r_), S_OK);
        site_.items[u"R"] = static_cast<ITestItem*>(r_.get());
        mv::script::ClearProgramCacheForTesting();
    }
    std::string Result(const std::string& script) {
        EXPECT_EQ(RunScript(script.c_str(), site_), S_OK) << script;
        for (const auto& e : site_.errors) ADD_FAILURE() << script << ": " << e.description;
        return Spec(r_->value);
    }

    TestSite site_;
    mv::ComPtr<mv::ComObject<CTestItem>> r_;
};

TEST_F(ProgramCache, ATextIsParsedOnceAndAChangedTextRunsAnew) {
    EXPECT_EQ(Result("x = x + 1 : R = x"), "I2:1");
    EXPECT_EQ(Result("x = x + 1 : R = x"), "I2:1");  // no variable outlives its engine
    EXPECT_EQ(ProgramCacheCountsForTesting().parses, 1u);
    EXPECT_EQ(Result("x = x + 2 : R = x"), "I2:2");
    EXPECT_EQ(ProgramCacheCountsForTesting().parses, 2u);
    EXPECT_EQ(ProgramCacheCountsForTesting().entries, 2u);
}

// Names are bound by the engine that runs the text: an item added to a
// later engine hides the built-in the earlier run found.
TEST_F(ProgramCache, NamedItemsOfEachEngineBindTheKeptText) {
    const char* script = "R = vbRed + 0";
    EXPECT_EQ(Result(script), "I4:255");
    mv::ComPtr<mv::ComObject<CTestItem>> red;
    ASSERT_EQ(mv::MakeComObject(&red), S_OK);
    red->value = mv::test::V("I2:5");
    site_.items[u"vbRed"] = static_cast<ITestItem*>(red.get());
    EXPECT_EQ(Result(script), "I2:5");
    site_.items.erase(u"vbRed");
    EXPECT_EQ(Result(script), "I4:255");
    EXPECT_EQ(ProgramCacheCountsForTesting().parses, 1u);
}

TEST_F(ProgramCache, AKeptSyntaxErrorIsReportedAsWhenParsed) {
    for (const char* script : {"x = 1\nR = (1", "x = \"abc", "x = 1\nClass Foo"}) {
        std::vector<TestSite::Error> seen;
        for (int run = 0; run < 2; ++run) {
            site_.errors.clear();
            EXPECT_EQ(RunScript(script, site_), SCRIPT_E_REPORTED) << script;
            ASSERT_EQ(site_.errors.size(), 1u) << script;
            seen.push_back(site_.errors[0]);
        }
        EXPECT_EQ(seen[1].scode, seen[0].scode) << script;
        EXPECT_EQ(seen[1].description, seen[0].description) << script;
        EXPECT_EQ(seen[1].line, seen[0].line) << script;
        EXPECT_EQ(seen[1].column, seen[0].column) << script;
        EXPECT_EQ(seen[1].lineText, seen[0].lineText) << script;
        EXPECT_FALSE(seen[0].lineText.empty()) << script;
    }
    EXPECT_EQ(ProgramCacheCountsForTesting().parses, 3u);
}

TEST_F(ProgramCache, ManyTextsEvictTheLeastRecentlyUsed) {
    const auto text = [](size_t i) { return "R = " + std::to_string(i); };
    const size_t total = mv::script::kProgramCacheEntries + 20;
    for (size_t i = 0; i < total; ++i) {
        EXPECT_EQ(Result(text(i)), (i < 32768 ? "I2:" : "I4:") + std::to_string(i));
        // The first text, used again and again, is never the oldest.
        if (i % 100 == 0) {
            EXPECT_EQ(Result(text(0)), "I2:0");
        }
    }
    auto counts = ProgramCacheCountsForTesting();
    EXPECT_EQ(counts.entries, mv::script::kProgramCacheEntries);
    EXPECT_LE(counts.bytes, mv::script::kProgramCacheBytes);
    EXPECT_EQ(counts.parses, total);
    EXPECT_EQ(Result(text(0)), "I2:0");
    EXPECT_EQ(Result(text(1)), "I2:1");  // evicted: parsed again
    counts = ProgramCacheCountsForTesting();
    EXPECT_EQ(counts.parses, total + 1);
    EXPECT_EQ(counts.entries, mv::script::kProgramCacheEntries);
}

// Names are numbered per text: texts run one after another on one engine
// each find the global variables by their own numbers.
TEST_F(ProgramCache, TextsOnOneEngineShareItsVariables) {
    mv::ComPtr<IActiveScript> engine;
    ASSERT_EQ(CoCreateInstance(CLSID_VBScript, nullptr, CLSCTX_INPROC_SERVER, IID_IActiveScript,
                               engine.PutVoid()),
              S_OK);
    mv::ComPtr<IActiveScriptParse> parse;
    ASSERT_EQ(engine->QueryInterface(IID_IActiveScriptParse, parse.PutVoid()), S_OK);
    ASSERT_EQ(engine->SetScriptSite(&site_), S_OK);
    ASSERT_EQ(parse->InitNew(), S_OK);
    ASSERT_EQ(engine->AddNamedItem(u"R", SCRIPTITEM_ISVISIBLE), S_OK);
    ASSERT_EQ(engine->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
    for (const char16_t* text : {u"a = 1 : b = 2", u"b = b + 10 : c = a : R = a & b & c",
                                 u"For a = 1 To 2 : b = b & a : Next : R = R & b"})
        EXPECT_EQ(
            parse->ParseScriptText(text, nullptr, nullptr, nullptr, 0, 0, 0, nullptr, nullptr),
            S_OK);
    EXPECT_TRUE(site_.errors.empty());
    EXPECT_EQ(Spec(r_->value), "Str:11211212");
    EXPECT_EQ(engine->Close(), S_OK);
}

}  // namespace

// A kept text's syntax tree is freed without allocating: its statements and
// expressions are taken apart while every allocation of the thread fails.
TEST_F(ProgramCache, AKeptTreeIsFreedWhileMemoryIsOut) {
    std::string script = "x = 1";
    for (int i = 0; i < 40; ++i) script += " + 1";
    script += "\n";
    for (int i = 0; i < 20; ++i) script += "If x > 0 Then\nFor i = 1 To 1\n";
    script += "R = x\n";
    for (int i = 0; i < 20; ++i) script += "Next\nEnd If\n";
    EXPECT_EQ(Result(script), "I2:41");
    {
        mv_test::FailingNew failing(1);
        mv::script::ClearProgramCacheForTesting();
    }
    EXPECT_EQ(ProgramCacheCountsForTesting().entries, 0u);
}
