// The engine's prepared road: a prepared text and prepared named items run
// as ParseScriptText and AddNamedItem of the same would, a known object
// spares the site's look-up only while its check holds, and a prepared
// text is parsed once for every engine that runs it.
#include <gtest/gtest.h>

#include <string>

#include "script_test_support.h"

namespace {

using mv::script::NamedItems;
using mv::script::PreparedText;
using mv::test::Spec;

// A test site that also counts the site's item look-ups by name.
class CountingSite final : public IActiveScriptSite {
public:
    TestSite inner;
    std::map<std::u16string, int> asked;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid != IID_IUnknown && riid != IID_IActiveScriptSite)
            return *ppv = nullptr, E_NOINTERFACE;
        *ppv = this;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return inner.AddRef(); }
    ULONG Release() override { return inner.Release(); }
    HRESULT GetLCID(LCID* p) override { return inner.GetLCID(p); }
    HRESULT GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** item, ITypeInfo** info) override {
        ++asked[name];
        return inner.GetItemInfo(name, mask, item, info);
    }
    HRESULT GetDocVersionString(BSTR* p) override { return inner.GetDocVersionString(p); }
    HRESULT OnScriptTerminate(const VARIANT* v, const EXCEPINFO* e) override {
        return inner.OnScriptTerminate(v, e);
    }
    HRESULT OnStateChange(SCRIPTSTATE s) override { return inner.OnStateChange(s); }
    HRESULT OnScriptError(IActiveScriptError* e) override { return inner.OnScriptError(e); }
    HRESULT OnEnterScript() override { return inner.OnEnterScript(); }
    HRESULT OnLeaveScript() override { return inner.OnLeaveScript(); }
};

mv::ComPtr<mv::ComObject<CTestItem>> Item(const char* value) {
    mv::ComPtr<mv::ComObject<CTestItem>> item;
    EXPECT_EQ(mv::MakeComObject(&item), S_OK);
    item->value = mv::test::V(value);
    return item;
}

IDispatch* Dispatch(const mv::ComPtr<mv::ComObject<CTestItem>>& item) {
    return static_cast<ITestItem*>(item.get());
}

struct Engine {
    mv::ComPtr<IActiveScript> script;
    mv::ComPtr<IActiveScriptParse> parse;
    mv::ComPtr<IActiveScriptPrepared> prepared;

    explicit Engine(IActiveScriptSite* site) {
        EXPECT_EQ(CoCreateInstance(CLSID_VBScript, nullptr, CLSCTX_INPROC_SERVER, IID_IActiveScript,
                                   script.PutVoid()),
                  S_OK);
        EXPECT_EQ(script.As(&parse), S_OK);
        EXPECT_EQ(script.As(&prepared), S_OK);
        EXPECT_EQ(script->SetScriptSite(site), S_OK);
    }
    // Connects and closes; answers the text's parse result.
    HRESULT Run(HRESULT parsed) {
        if (SUCCEEDED(parsed)) {
            EXPECT_EQ(script->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
        }
        EXPECT_EQ(script->Close(), S_OK);
        return parsed;
    }
};

// Runs `script` with the items R (unknown to the host) and those of `items`
// in order, the standard way or the prepared way; answers what R holds, the
// parse result, the errors and the site's look-ups.
struct Outcome {
    std::string r;
    HRESULT parsed;
    std::vector<std::string> errors;
    std::map<std::u16string, int> asked;
};
using ItemList = std::vector<std::pair<std::u16string, IDispatch*>>;

Outcome RunOnce(const std::u16string& script, const ItemList& items, bool prepared) {
    CountingSite site;
    auto r = Item("Empty");
    site.inner.items[u"R"] = Dispatch(r);
    for (const auto& [name, object] : items)
        if (!site.inner.items.count(name)) site.inner.items[name] = object;
    Outcome out{};
    {
        Engine engine(&site);
        EXPECT_EQ(engine.parse->InitNew(), S_OK);
        if (prepared) {
            auto list = std::make_shared<NamedItems>();
            list->Add(u"R");
            for (const auto& [name, object] : items) list->Add(name, object);
            EXPECT_EQ(engine.prepared->AddNamedItems(list, SCRIPTITEM_ISVISIBLE), S_OK);
            out.parsed = engine.Run(engine.prepared->ParsePreparedText(PreparedText::Make(script)));
        } else {
            EXPECT_EQ(engine.script->AddNamedItem(u"R", SCRIPTITEM_ISVISIBLE), S_OK);
            for (const auto& item : items)
                EXPECT_EQ(engine.script->AddNamedItem(item.first.c_str(), SCRIPTITEM_ISVISIBLE),
                          S_OK);
            out.parsed = engine.Run(engine.parse->ParseScriptText(
                script.c_str(), nullptr, nullptr, nullptr, 0, 0, 0, nullptr, nullptr));
        }
    }
    out.r = Spec(r->value);
    for (const TestSite::Error& e : site.inner.errors)
        out.errors.push_back(std::to_string(e.scode) + " " + e.description + " " +
                             std::to_string(e.line) + ":" + std::to_string(e.column) + " " +
                             e.lineText);
    out.asked = site.asked;
    EXPECT_EQ(site.inner.refs, 1u);
    return out;
}

TEST(PreparedScript, RunsAsTheStandardCallsAndSparesTheKnownItemsLookUps) {
    auto a = Item("I2:6"), b = Item("Str:x"), red = Item("I2:5");
    const struct {
        const char16_t* script;
        ItemList items;
        std::string r;
        std::vector<std::u16string> asked;  // on the prepared road
    } cases[] = {
        {u"R = A * 2 + A", {{u"A", Dispatch(a)}}, "I2:18", {u"R"}},
        {u"R = vbRed + 0", {{u"vbRed", Dispatch(red)}}, "I2:5", {u"R"}},
        {u"R = vbRed + 0", {}, "I4:255", {u"R"}},
        // A name added again in another letter case is passed over with its
        // object.
        {u"R = a & B",
         {{u"A", Dispatch(a)}, {u"a", Dispatch(b)}, {u"B", Dispatch(b)}},
         "Str:6x",
         {u"R"}},
        // No object known: the site is asked.
        {u"R = A + 1", {{u"A", nullptr}}, "Empty", {u"A"}},
        {u"R = 1\nR = (1", {{u"A", Dispatch(a)}}, "Empty", {}},
        {u"x = 1\r\n  R = A / 0", {{u"A", Dispatch(a)}}, "Empty", {}},
        {u"R = Nope + 1", {}, "I2:1", {u"R"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(mv::ToUtf8(c.script));
        const Outcome standard = RunOnce(c.script, c.items, false);
        const Outcome prepared = RunOnce(c.script, c.items, true);
        EXPECT_EQ(prepared.r, c.r);
        EXPECT_EQ(prepared.r, standard.r);
        EXPECT_EQ(prepared.parsed, standard.parsed);
        EXPECT_EQ(prepared.errors, standard.errors);
        std::map<std::u16string, int> asked;
        for (const std::u16string& name : c.asked) asked[name] = 1;
        EXPECT_EQ(prepared.asked, asked);
    }
}

// The check is asked when a run first needs the item; what it decided holds
// for the rest of the run.
TEST(PreparedScript, AKnownObjectHoldsWhileItsCheckSaysSo) {
    auto known = Item("I2:1"), fresh = Item("I2:2"), o = Item("Empty");
    for (const bool holds : {true, false}) {
        SCOPED_TRACE(holds);
        CountingSite site;
        auto r = Item("Empty");
        site.inner.items[u"R"] = Dispatch(r);
        site.inner.items[u"A"] = Dispatch(fresh);
        site.inner.items[u"O"] = Dispatch(o);
        bool valid = holds;
        o->onCall = [&] { valid = !valid; };
        auto list = std::make_shared<NamedItems>();
        list->Add(u"R"), list->Add(u"O", Dispatch(o)), list->Add(u"A", Dispatch(known));
        list->SetCheck([&] { return valid; });
        {
            Engine engine(&site);
            EXPECT_EQ(engine.parse->InitNew(), S_OK);
            EXPECT_EQ(engine.prepared->AddNamedItems(list, SCRIPTITEM_ISVISIBLE), S_OK);
            EXPECT_EQ(engine.Run(engine.prepared->ParsePreparedText(
                          PreparedText::Make(u"R = A\nO.Call\nR = R & A"))),
                      S_OK);
        }
        EXPECT_EQ(Spec(r->value), holds ? "Str:11" : "Str:22");
        EXPECT_EQ(site.asked[u"A"], holds ? 0 : 1);
        EXPECT_TRUE(site.inner.errors.empty());
    }
}

TEST(PreparedScript, ItemsAfterOthersGoOneByOneAndRefusalsAreTheStandardOnes) {
    CountingSite site;
    auto r = Item("Empty"), a = Item("I2:3"), b = Item("I2:4");
    site.inner.items[u"R"] = Dispatch(r);
    site.inner.items[u"A"] = Dispatch(a);
    site.inner.items[u"B"] = Dispatch(b);
    auto list = std::make_shared<NamedItems>();
    list->Add(u"A", Dispatch(b)), list->Add(u"B", Dispatch(a));
    {
        Engine engine(&site);
        EXPECT_EQ(engine.prepared->ParsePreparedText(PreparedText::Make(u"R = 1")),
                  E_UNEXPECTED);  // before InitNew
        EXPECT_EQ(engine.parse->InitNew(), S_OK);
        EXPECT_EQ(engine.prepared->ParsePreparedText(nullptr), E_POINTER);
        EXPECT_EQ(engine.prepared->AddNamedItems(nullptr, SCRIPTITEM_ISVISIBLE), E_INVALIDARG);
        EXPECT_EQ(engine.script->AddNamedItem(u"R", SCRIPTITEM_ISVISIBLE), S_OK);
        // After another item, the names are added one by one and their
        // objects asked of the site.
        EXPECT_EQ(engine.prepared->AddNamedItems(list, SCRIPTITEM_ISVISIBLE), S_OK);
        EXPECT_EQ(
            engine.Run(engine.prepared->ParsePreparedText(PreparedText::Make(u"R = A * 10 + B"))),
            S_OK);
        EXPECT_EQ(engine.prepared->AddNamedItems(list, SCRIPTITEM_ISVISIBLE), E_UNEXPECTED);
        EXPECT_EQ(engine.prepared->ParsePreparedText(PreparedText::Make(u"R = 1")), E_UNEXPECTED);
    }
    EXPECT_EQ(Spec(r->value), "I2:34");
    const std::map<std::u16string, int> asked = {{u"A", 1}, {u"B", 1}, {u"R", 1}};
    EXPECT_EQ(site.asked, asked);
}

// A prepared text is parsed when it is made; the engines that run it do not
// ask the process-wide cache again. A text with a syntax error keeps no
// parse and is reported by each engine as a fresh parse reports it.
TEST(PreparedScript, ATextIsParsedWhenMadeAndEachEngineRunsItsParse) {
    mv::script::ClearProgramCacheForTesting();
    const auto good = PreparedText::Make(u"R = R + 1");
    const auto bad = PreparedText::Make(u"R = 1\nR = (1");
    EXPECT_NE(good->Parsed(), nullptr);
    EXPECT_EQ(bad->Parsed(), nullptr);
    EXPECT_EQ(*good->Text(), u"R = R + 1");
    EXPECT_EQ(mv::script::ProgramCacheCountsForTesting().parses, 2u);
    mv::script::ClearProgramCacheForTesting();
    for (int run = 0; run < 3; ++run) {
        CountingSite site;
        auto r = Item("I2:1");
        site.inner.items[u"R"] = Dispatch(r);
        Engine engine(&site);
        EXPECT_EQ(engine.parse->InitNew(), S_OK);
        EXPECT_EQ(engine.script->AddNamedItem(u"R", SCRIPTITEM_ISVISIBLE), S_OK);
        EXPECT_EQ(engine.prepared->ParsePreparedText(good), S_OK);
        EXPECT_EQ(engine.prepared->ParsePreparedText(bad), SCRIPT_E_REPORTED);
        EXPECT_EQ(engine.Run(S_OK), S_OK);
        EXPECT_EQ(Spec(r->value), "I2:2");
        ASSERT_EQ(site.inner.errors.size(), 1u);
        EXPECT_EQ(site.inner.errors[0].description, "Expected ')'");
        EXPECT_EQ(site.inner.errors[0].line, 1u);
        EXPECT_EQ(site.inner.errors[0].lineText, "R = (1");
    }
    // Only the bad text went to the cache, which keeps its error.
    EXPECT_EQ(mv::script::ProgramCacheCountsForTesting().parses, 1u);
}

// A recycled engine runs as a new one: nothing of its earlier runs (their
// variables, Option Explicit, Err, Rnd's sequence, the statements counted)
// reaches the next, and the statement budget is the one in force when it is
// recycled.
TEST(PreparedScript, ARecycledEngineRunsAsANewOne) {
    const char16_t* runs[] = {
        u"Option Explicit\nDim n\nn = 1\nOn Error Resume Next\nx = 1 / 0\nR = Rnd & \"|\" & n",
        u"On Error Resume Next\nR = Rnd & \"|\" & n & \"|\" & y & Err.Number\ny = 2",
    };
    CountingSite site;
    auto r = Item("Empty");
    site.inner.items[u"R"] = Dispatch(r);
    Engine engine(&site);
    std::vector<std::string> seen;
    for (int round = 0; round < 2; ++round) {
        for (const char16_t* script : runs) {
            if (!seen.empty()) {
                EXPECT_EQ(engine.prepared->Recycle(), S_OK);
                EXPECT_EQ(engine.script->SetScriptSite(&site), S_OK);
            }
            EXPECT_EQ(engine.prepared->Recycle(), E_UNEXPECTED);  // only a closed one
            EXPECT_EQ(engine.parse->InitNew(), S_OK);
            EXPECT_EQ(engine.script->AddNamedItem(u"R", SCRIPTITEM_ISVISIBLE), S_OK);
            EXPECT_EQ(engine.Run(engine.prepared->ParsePreparedText(PreparedText::Make(script))),
                      S_OK);
            seen.push_back(Spec(r->value));
        }
    }
    EXPECT_EQ(seen[0], seen[2]);
    EXPECT_EQ(seen[1], seen[3]);
    EXPECT_EQ(seen[0].substr(seen[0].size() - 2), "|1");
    EXPECT_EQ(seen[1].substr(seen[1].size() - 3), "||0");
    EXPECT_TRUE(site.inner.errors.empty());
    EXPECT_EQ(site.inner.refs, 1u);

    mv::script::SetStatementBudgetForTesting(50);
    EXPECT_EQ(engine.prepared->Recycle(), S_OK);
    mv::script::SetStatementBudgetForTesting(0);
    EXPECT_EQ(engine.script->SetScriptSite(&site), S_OK);
    EXPECT_EQ(engine.parse->InitNew(), S_OK);
    EXPECT_EQ(engine.Run(
                  engine.prepared->ParsePreparedText(PreparedText::Make(u"Do : x = x + 1 : Loop"))),
              S_OK);
    ASSERT_EQ(site.inner.errors.size(), 1u);
    EXPECT_EQ(site.inner.errors[0].scode, E_ABORT);

    // The statements are counted afresh: a short script fits the budget the
    // loop above ran out of.
    site.inner.errors.clear();
    mv::script::SetStatementBudgetForTesting(50);
    EXPECT_EQ(engine.prepared->Recycle(), S_OK);
    mv::script::SetStatementBudgetForTesting(0);
    EXPECT_EQ(engine.script->SetScriptSite(&site), S_OK);
    EXPECT_EQ(engine.parse->InitNew(), S_OK);
    EXPECT_EQ(engine.script->AddNamedItem(u"R", SCRIPTITEM_ISVISIBLE), S_OK);
    EXPECT_EQ(engine.Run(engine.prepared->ParsePreparedText(
                  PreparedText::Make(u"R = 7\nOn Error Resume Next\nx = 1 / 0"))),
              S_OK);
    EXPECT_TRUE(site.inner.errors.empty());
    EXPECT_EQ(Spec(r->value), "I2:7");

    // The error that run left behind is not the next run's.
    EXPECT_EQ(engine.prepared->Recycle(), S_OK);
    EXPECT_EQ(engine.script->SetScriptSite(&site), S_OK);
    EXPECT_EQ(engine.parse->InitNew(), S_OK);
    EXPECT_EQ(engine.script->AddNamedItem(u"R", SCRIPTITEM_ISVISIBLE), S_OK);
    EXPECT_EQ(engine.Run(engine.prepared->ParsePreparedText(PreparedText::Make(u"R = Err.Number"))),
              S_OK);
    EXPECT_TRUE(site.inner.errors.empty());
    EXPECT_EQ(Spec(r->value), "I4:0");
}

// A recycled engine that runs the same parse over other prepared items finds
// each name among the items it has now, whatever it found in earlier runs.
TEST(PreparedScript, ARecycledEngineFindsTheNamesAmongItsPresentItems) {
    CountingSite site;
    auto r = Item("Empty");
    auto c = Item("I2:5");
    site.inner.items[u"R"] = Dispatch(r);
    site.inner.items[u"C"] = Dispatch(c);
    site.inner.items[u"A"] = Dispatch(Item("I2:1"));
    const auto text = PreparedText::Make(u"R = C + 1");
    struct Round {
        std::vector<const char16_t*> items;
        const char* r;
    };
    const Round rounds[] = {
        {{u"A", u"A2", u"C", u"R"}, "I2:6"},
        {{u"R"}, "I2:1"},  // C is no item now: an empty variable
        {{u"R", u"C"}, "I2:6"},
        {{u"C", u"R"}, "I2:6"},
        {{u"R", u"A"}, "I2:1"},
    };
    Engine engine(&site);
    bool first = true;
    for (const Round& round : rounds) {
        if (!first) {
            EXPECT_EQ(engine.prepared->Recycle(), S_OK);
            EXPECT_EQ(engine.script->SetScriptSite(&site), S_OK);
        }
        first = false;
        auto list = std::make_shared<NamedItems>();
        for (const char16_t* name : round.items) list->Add(name);
        EXPECT_EQ(engine.parse->InitNew(), S_OK);
        EXPECT_EQ(engine.prepared->AddNamedItems(list, SCRIPTITEM_ISVISIBLE), S_OK);
        r->value = mv::test::V("Empty");
        EXPECT_EQ(engine.Run(engine.prepared->ParsePreparedText(text)), S_OK);
        EXPECT_EQ(Spec(r->value), round.r) << round.items.size() << " items";
    }
    EXPECT_TRUE(site.inner.errors.empty());
}

}  // namespace
