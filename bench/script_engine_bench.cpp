// The script engine against its baselines in the same run: a counting loop
// against the same loop in C++ over VarAdd/VarMul (target: within 20x), and
// reading a property by name against reading the default member (target:
// at most 1.5x). A loop reading a named constant shows what finding a
// built-in name costs beside the counting loop, and a loop calling a
// procedure what binding its parameters costs. The loop of a million steps
// and a formula's run over six named items (a fresh engine each, as a
// calculation runs) are compared with the same in CPython outside this
// program. The formula run as a new thread's first statement shows what a
// thread's first statement adds.
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <thread>

#include "bench_ratios.h"
#include "bench_script_site.h"

#include "com.h"
#include "comobj.h"
#include "script.h"

MV_DEFINE_GUID(IID_IBenchItem, 0x3F1E2D4C, 0x5B6A, 0x4978, 0x86, 0x95, 0xA4, 0xB3, 0xC2, 0xD1, 0xE0,
               0xF1);

struct IBenchItem : IDispatch {
    virtual HRESULT get_Value(VARIANT* p) = 0;
    virtual HRESULT put_Value(VARIANT v) = 0;
    virtual HRESULT get_Level(VARIANT* p) = 0;
};
MV_IID_OF(IBenchItem, IID_IBenchItem);
MV_DISPATCH_TABLE(IBenchItem, mv::PropGet<&IBenchItem::get_Value>(0, u"Value"),
                  mv::PropPut<&IBenchItem::put_Value>(0, u"Value"),
                  mv::PropGet<&IBenchItem::get_Level>(1, u"Level"))

namespace {

class BenchItem : public mv::ComObjectRoot<BenchItem>, public mv::DispatchImpl<IBenchItem> {
public:
    using InterfaceMap = mv::Interfaces<IBenchItem, mv::Via<IDispatch, IBenchItem>>;
    HRESULT get_Value(VARIANT* p) override { return p->vt = VT_I4, p->lVal = 7, S_OK; }
    HRESULT put_Value(VARIANT) override { return S_OK; }
    HRESULT get_Level(VARIANT* p) override { return p->vt = VT_I4, p->lVal = 8, S_OK; }
};

// One run of `script` in a fresh engine, as a calculation runs it.
void RunOnce(bench::ScriptSite& site, const char16_t* script,
             std::initializer_list<const char16_t*> items) {
    mv::ComPtr<IActiveScript> engine;
    CoCreateInstance(CLSID_VBScript, nullptr, CLSCTX_INPROC_SERVER, IID_IActiveScript,
                     engine.PutVoid());
    mv::ComPtr<IActiveScriptParse> parse;
    engine->QueryInterface(IID_IActiveScriptParse, parse.PutVoid());
    engine->SetScriptSite(&site);
    parse->InitNew();
    for (const char16_t* name : items) engine->AddNamedItem(name, SCRIPTITEM_ISVISIBLE);
    parse->ParseScriptText(script, nullptr, nullptr, nullptr, 0, 0, 0, nullptr, nullptr);
    engine->SetScriptState(SCRIPTSTATE_CONNECTED);
    engine->Close();
}

void RunScript(benchmark::State& state, const char16_t* script,
               std::initializer_list<const char16_t*> items = {u"O"}) {
    mv::ComPtr<mv::ComObject<BenchItem>> item;
    mv::MakeComObject(&item);
    bench::ScriptSite site;
    site.item = static_cast<IBenchItem*>(item.get());
    for (auto _ : state) RunOnce(site, script, items);
}

void ScriptLoop(benchmark::State& state) {
    RunScript(state, u"For i = 1 To 100000 : s = s + i * 2 : Next");
}

void NativeLoop(benchmark::State& state) {
    for (auto _ : state) {
        mv::Variant s, two(LONG{2});
        for (LONG i = 1; i <= 100000; ++i) {
            mv::Variant v(i), product, sum;
            VarMul(&v, &two, &product);
            VarAdd(&s, &product, &sum);
            s = std::move(sum);
        }
        benchmark::DoNotOptimize(s.dblVal);
    }
}

void ScriptMillionSteps(benchmark::State& state) {
    RunScript(state, u"s = 0: For i = 1 To 1000000: s = s + i * 2 Mod 7: Next");
}

void ScriptFormulaRun(benchmark::State& state) {
    RunScript(state, u"Y = A*B + C / D - E", {u"A", u"B", u"C", u"D", u"E", u"Y"});
}

// The formula run as a new thread's first statement, which also finds how
// far the thread's stack may grow; timed on that thread, without its start.
void ScriptFormulaRunOnNewThread(benchmark::State& state) {
    mv::ComPtr<mv::ComObject<BenchItem>> item;
    mv::MakeComObject(&item);
    bench::ScriptSite site;
    site.item = static_cast<IBenchItem*>(item.get());
    for (auto _ : state) {
        std::chrono::duration<double> taken{};
        std::thread([&] {
            const auto start = std::chrono::steady_clock::now();
            RunOnce(site, u"Y = A*B + C / D - E", {u"A", u"B", u"C", u"D", u"E", u"Y"});
            taken = std::chrono::steady_clock::now() - start;
        }).join();
        state.SetIterationTime(taken.count());
    }
}

void ScriptReadsDefaultMember(benchmark::State& state) {
    RunScript(state, u"For i = 1 To 10000 : x = O : Next");
}

void ScriptReadsPropertyByName(benchmark::State& state) {
    RunScript(state, u"For i = 1 To 10000 : x = O.Level : Next");
}

// A procedure called with a variable by reference and one by value: what
// binding parameters costs beside the counting loop.
void ScriptCallsProcedure(benchmark::State& state) {
    RunScript(state,
              u"Sub Add(a, ByVal b) : a = a + b : End Sub\n"
              u"For i = 1 To 100000 : Add s, i : Next");
}

void ScriptReadsConstant(benchmark::State& state) {
    RunScript(state, u"For i = 1 To 100000 : x = vbTab : Next");
}

BENCHMARK(NativeLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(ScriptLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(ScriptMillionSteps)->Unit(benchmark::kMillisecond);
BENCHMARK(ScriptFormulaRun)->Unit(benchmark::kMicrosecond);
BENCHMARK(ScriptFormulaRunOnNewThread)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(ScriptReadsDefaultMember)->Unit(benchmark::kMillisecond);
BENCHMARK(ScriptReadsPropertyByName)->Unit(benchmark::kMillisecond);
BENCHMARK(ScriptReadsConstant)->Unit(benchmark::kMillisecond);
BENCHMARK(ScriptCallsProcedure)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    return bench::RunWithRatios(
        argc, argv,
        {
            {"script loop / native loop", "ScriptLoop", "NativeLoop", 20},
            {"property by name / default member", "ScriptReadsPropertyByName",
             "ScriptReadsDefaultMember", 1.5},
            {"vbTab loop / script loop", "ScriptReadsConstant", "ScriptLoop", 0},
            {"call loop / script loop", "ScriptCallsProcedure", "ScriptLoop", 0},
            {"a new thread's first formula run / formula run",
             "ScriptFormulaRunOnNewThread/manual_time", "ScriptFormulaRun", 0},
        });
}
