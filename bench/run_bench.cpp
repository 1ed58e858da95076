// Cost of calculation runs as a client sees them: the module registered in a
// registry store of its own, calculations created by ProgID and run with
// Calculate. Each run is compared, in the same process, with what it does
// at heart:
// - a script calculation `Y = A*B + C / D - E` with CPython evaluating the
//   same expression in a loop (/usr/bin/python3 in a subprocess);
// - the engine's counting loop and string building with CPython's same
//   loops;
// - a DLL-formula run with calling the same formula function directly on
//   the same calculation;
// - a run with ten historian inputs and one historian output with the
//   batched client calls it makes, called directly;
// - eight threads each running a calculation of their own with eight
//   threads each calling the formula function directly on theirs (the
//   scalings, time of one thread over time per run of eight, are printed
//   side by side; the target applies on a machine of eight or more cores).
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_module.h"
#include "bench_ratios.h"
#include "bench_script_site.h"
#include "com.h"
#include "interfaces/IMvCalculation.h"
#include "interfaces/MvFormulaDll.h"
#include "keldrin_sim.h"
#include "oleaut.h"
#include "script.h"
#include "sys.h"

namespace {

namespace fs = std::filesystem;

constexpr int kInputs = 10;
constexpr int kThreads = 8;
// Each benchmark runs this many times, interleaved with the others, and the
// ratios take its fastest run.
constexpr int kRepetitions = 5;
constexpr const char* kNode = "BENCHNODE";

using bench::Check;

struct Environment {
    fs::path folder;
    HMODULE module = nullptr;
    MvFormulaFunction blend = nullptr;
    double (*kernel)(const double*) = nullptr;
};

// Registers the module in a store of its own under a temporary folder and
// puts the benchmark's formula library on the library path.
Environment& Env() {
    static Environment* env = [] {
        auto* e = new Environment;
        e->folder = bench::MakeFolder("mvrunbench");
        fs::create_directories(e->folder / "base" / "Calc");
        fs::create_directories(e->folder / "base" / "Lib");
        setenv("MORVA_CALC_BASE", (e->folder / "base").c_str(), 1);
        const fs::path build = bench::BuildFolder();
        setenv("MORVA_DLL_PATH", (build / "formulas").c_str(), 1);
        e->module = bench::LoadAndRegisterModule(e->folder / "registry.reg");
        void* formulas = dlopen((build / "formulas" / "libMvBenchFormulas.so").c_str(), RTLD_NOW);
        Check(formulas != nullptr, "loading the formula library");
        e->blend = reinterpret_cast<MvFormulaFunction>(dlsym(formulas, "Blend10"));
        e->kernel = reinterpret_cast<double (*)(const double*)>(dlsym(formulas, "BlendKernel"));
        Check(e->blend && e->kernel, "finding the formulas");
        return e;
    }();
    return *env;
}

mv::ComPtr<IMvCalculation> NewCalculation(const char16_t* name) {
    Env();
    CLSID clsid{};
    Check(CLSIDFromProgID(u"Morva.Calc.Calculation", &clsid) == S_OK, "finding the ProgID");
    mv::ComPtr<IMvCalculation> calc;
    Check(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IMvCalculation,
                           calc.PutVoid()) == S_OK,
          "creating a calculation");
    calc->put_Name(mv::Bstr(name).get());
    return calc;
}

mv::ComPtr<IMvParameter> AddParameter(IMvCalculation* calc, const std::u16string& name,
                                      LONG direction, LONG binding) {
    mv::ComPtr<IMvParameter> p;
    if (FAILED(calc->GetParameter(mv::Bstr(name).get(), p.Put())) || !p)
        Check(calc->AddParameter(mv::Bstr(name).get(), p.Put()) == S_OK, "adding a parameter");
    p->put_ParameterType(direction);
    p->put_BindingType(binding);
    return p;
}

std::u16string InputName(int i) {
    return u"A" + mv::ToUtf16(std::to_string(i));
}

void Run(IMvCalculation* calc) {
    Check(calc->Calculate() == S_OK, "a run");
}

void CheckNoError(IMvCalculation* calc) {
    mv::Bstr text;
    calc->get_ErrorText(text.Out());
    if (text.view().empty()) return;
    std::fprintf(stderr, "run_bench: the run failed: %s\n", text.Utf8().c_str());
    std::exit(2);
}

// ---- the script calculation -------------------------------------------

void BM_ScriptRun(benchmark::State& state) {
    auto calc = NewCalculation(u"SCRIPT");
    calc->put_FormulaType(mvcVBS_Script_Method);
    calc->put_ScriptText(mv::Bstr(u"Y = A*B + C / D - E").get());
    const double values[] = {3.5, 4.25, 7.0, 2.5, 1.75};
    const char16_t* names[] = {u"A", u"B", u"C", u"D", u"E"};
    for (int i = 0; i < 5; ++i)
        AddParameter(calc.get(), names[i], mvcInput, mvcConstant)
            ->put_Value(mv::Variant(values[i]));
    auto y = AddParameter(calc.get(), u"Y", mvcOutput, mvcNone);
    Run(calc.get());
    CheckNoError(calc.get());
    for (auto _ : state) Run(calc.get());
}

// ---- the engine's own loops -------------------------------------------

void RunScript(benchmark::State& state, const char16_t* script) {
    bench::ScriptSite site;
    for (auto _ : state) {
        mv::ComPtr<IActiveScript> engine;
        Check(CoCreateInstance(CLSID_VBScript, nullptr, CLSCTX_INPROC_SERVER, IID_IActiveScript,
                               engine.PutVoid()) == S_OK,
              "creating the engine");
        mv::ComPtr<IActiveScriptParse> parse;
        engine->QueryInterface(IID_IActiveScriptParse, parse.PutVoid());
        engine->SetScriptSite(&site);
        parse->InitNew();
        parse->ParseScriptText(script, nullptr, nullptr, nullptr, 0, 0, 0, nullptr, nullptr);
        engine->SetScriptState(SCRIPTSTATE_CONNECTED);
        engine->Close();
    }
}

constexpr int kLoopCount = 1000000;
constexpr int kAppendCount = 20000;

void BM_EngineLoop(benchmark::State& state) {
    RunScript(state, u"s = 0: For i = 1 To 1000000: s = s + i * 2 Mod 7: Next");
    state.SetItemsProcessed(state.iterations() * kLoopCount);
}

void BM_EngineStringBuilding(benchmark::State& state) {
    RunScript(state, u"s = \"\": For i = 1 To 20000: s = s & \"ab\": Next");
    state.SetItemsProcessed(state.iterations() * kAppendCount);
}

// ---- the CPython baselines ----------------------------------------------

// Runs a program under /usr/bin/python3 that prints seconds per evaluation;
// the benchmark reports that time as its own (manual time).
void Python(benchmark::State& state, const std::string& program) {
    double seconds = 0;
    {
        const std::string command = "/usr/bin/python3 -c '" + program + "'";
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
        Check(pipe != nullptr, "starting /usr/bin/python3");
        Check(std::fscanf(pipe.get(), "%lf", &seconds) == 1 && seconds > 0,
              "reading /usr/bin/python3's time");
    }
    for (auto _ : state) state.SetIterationTime(seconds);
}

// The best of five timings of `repeat` evaluations, per evaluation.
std::string Timed(const std::string& setup, const std::string& body, int repeat) {
    return "import timeit\n" + setup + "\nprint(min(timeit.repeat(\"" + body +
           "\", globals=globals(), number=" + std::to_string(repeat) + ", repeat=5)) / " +
           std::to_string(repeat) + ")";
}

void BM_PythonExpression(benchmark::State& state) {
    Python(state,
           Timed("A, B, C, D, E = 3.5, 4.25, 7.0, 2.5, 1.75", "Y = A*B + C / D - E", 2000000));
}

void BM_PythonLoop(benchmark::State& state) {
    Python(state,
           "import time\n"
           "def run():\n"
           "    s = 0\n"
           "    for i in range(1, 1000001):\n"
           "        s = s + i * 2 % 7\n"
           "    return s\n"
           "best = min((lambda t: (run(), time.perf_counter() - t)[1])(time.perf_counter())"
           " for k in range(5))\n"
           "print(best / 1000000)");
}

void BM_PythonStringBuilding(benchmark::State& state) {
    Python(state,
           "import time\n"
           "def run():\n"
           "    s = \"\"\n"
           "    for i in range(20000):\n"
           "        s = s + \"ab\"\n"
           "    return s\n"
           "best = min((lambda t: (run(), time.perf_counter() - t)[1])(time.perf_counter())"
           " for k in range(20))\n"
           "print(best / 20000)");
}

// ---- the DLL formula ------------------------------------------------------

// A DLL-formula calculation of ten constant inputs and its return value.
mv::ComPtr<IMvCalculation> DllCalculation(const char16_t* name) {
    auto calc = NewCalculation(name);
    calc->put_FormulaType(mvcDLL_Execute_Method);
    calc->put_DllName(mv::Bstr(u"MvBenchFormulas.dll").get());
    calc->put_FunctionName(mv::Bstr(u"Blend10").get());
    for (int i = 0; i < kInputs; ++i)
        AddParameter(calc.get(), InputName(i), mvcInput, mvcConstant)
            ->put_Value(mv::Variant(1.5 * (i + 1)));
    AddParameter(calc.get(), u"ReturnValue", mvcOutput, mvcNone);
    Run(calc.get());
    CheckNoError(calc.get());
    return calc;
}

void DirectCall(IMvCalculation* calc) {
    mv::Variant result;
    Env().blend(calc, &result);
    benchmark::DoNotOptimize(result.dblVal);
}

void BM_DllRun(benchmark::State& state) {
    auto calc = DllCalculation(u"DLL");
    for (auto _ : state) Run(calc.get());
}

void BM_DllDirectCall(benchmark::State& state) {
    auto calc = DllCalculation(u"DLL");
    for (auto _ : state) DirectCall(calc.get());
}

// Each thread its own calculation; the time per run of all threads together.
void BM_DllRunThreads(benchmark::State& state) {
    auto calc = DllCalculation(mv::ToUtf16("DLL" + std::to_string(state.thread_index())).c_str());
    for (auto _ : state) Run(calc.get());
}

void BM_DllDirectCallThreads(benchmark::State& state) {
    auto calc = DllCalculation(mv::ToUtf16("DLL" + std::to_string(state.thread_index())).c_str());
    for (auto _ : state) DirectCall(calc.get());
}

// The formula's arithmetic alone: what plain code reaches on these cores.
void BM_KernelThreads(benchmark::State& state) {
    Env();
    std::array<double, kInputs> x{};
    for (int i = 0; i < kInputs; ++i) x[i] = 1.5 * (i + 1) + state.thread_index();
    for (auto _ : state) {
        benchmark::DoNotOptimize(x.data());
        benchmark::DoNotOptimize(Env().kernel(x.data()));
    }
}

// ---- the historian-bound run --------------------------------------------

struct HistorianWorld {
    std::array<LONG, kInputs> inputs{};
    LONG output = 0;
};

// Ten double fields and one output field on one remote node.
HistorianWorld& Historian() {
    static HistorianWorld* world = [] {
        Env();
        auto* w = new HistorianWorld;
        Check(KhSim_AddServer(kNode, 11, 3, 0) > 0, "adding the historian node");
        for (int i = 0; i < kInputs; ++i) {
            const std::string record = "IN" + std::to_string(i);
            w->inputs[i] = KhSim_AddRecord(kNode, record.c_str(), 0);
            Check(w->inputs[i] > 0 && KhSim_AddField(kNode, w->inputs[i], "PV", 0x10000, -12, 0),
                  "adding an input record");
            KhSimValue v{};
            v.Number = 2.0 * (i + 1);
            v.Stamp = KeldrinTime{KELDRIN_TIME_NONE_WORD, 0};
            Check(KhSim_SetValue(kNode, w->inputs[i], 0x10000, &v) == 1, "seeding an input");
        }
        w->output = KhSim_AddRecord(kNode, "OUT", 0);
        Check(w->output > 0 && KhSim_AddField(kNode, w->output, "PV", 0x10000, -12, 0),
              "adding the output record");
        return w;
    }();
    return *world;
}

void BM_HistorianRun(benchmark::State& state) {
    Historian();
    auto calc = NewCalculation(u"HISTORIAN");
    calc->put_FormulaType(mvcDLL_Execute_Method);
    calc->put_DllName(mv::Bstr(u"MvBenchFormulas.dll").get());
    calc->put_FunctionName(mv::Bstr(u"Blend10").get());
    auto bind = [](IMvParameter* p, const std::string& record) {
        p->put_NodeName(mv::Bstr(kNode).get());
        p->put_RecordName(mv::Bstr(record).get());
        p->put_FieldName(mv::Bstr(u"PV").get());
    };
    for (int i = 0; i < kInputs; ++i)
        bind(AddParameter(calc.get(), InputName(i), mvcInput, mvcKeldrin).get(),
             "IN" + std::to_string(i));
    bind(AddParameter(calc.get(), u"ReturnValue", mvcOutput, mvcKeldrin).get(), "OUT");
    Run(calc.get());
    CheckNoError(calc.get());
    for (auto _ : state) Run(calc.get());
}

// The same reads and write through the client library: the default server,
// one batch of ten reads and one write.
void BM_HistorianClientCalls(benchmark::State& state) {
    const HistorianWorld& world = Historian();
    KeldrinErrorBlock err{};
    LONG server = DaLookupAlias((std::string(kNode) + "__AC").c_str());
    if (server == 0) server = DaAddServer(kNode, &err);
    Check(server > 0, "connecting the historian node");
    std::array<KeldrinRecField, kInputs> pairs{};
    std::array<SHORT, kInputs> types{};
    for (int i = 0; i < kInputs; ++i) {
        pairs[i] = {world.inputs[i], 0x10000};
        types[i] = -12;
    }
    const KeldrinRecField outPair{world.output, 0x10000};
    const SHORT outType = -12;
    alignas(8) BYTE buffer[kInputs * 32] = {};
    alignas(8) BYTE outBuffer[32] = {};
    SHORT failIndex = 0;
    for (auto _ : state) {
        Check(DaSetDefaultServer(static_cast<SHORT>(server), &err) == 0, "DaSetDefaultServer");
        Check(MRDBVALS(kInputs, pairs.data(), types.data(), buffer, &failIndex, &err) == 0,
              "MRDBVALS");
        double sum = 0;
        for (int i = 0; i < kInputs; ++i) {
            double v = 0;
            std::memcpy(&v, buffer + 16 * i, sizeof v);
            sum += v;
        }
        std::memcpy(outBuffer, &sum, sizeof sum);
        Check(MWDBVALS(1, &outPair, &outType, outBuffer, &failIndex, &err) == 0, "MWDBVALS");
    }
}

BENCHMARK(BM_ScriptRun)->Repetitions(kRepetitions);
BENCHMARK(BM_PythonExpression)->UseManualTime()->Iterations(1)->Repetitions(kRepetitions);
BENCHMARK(BM_EngineLoop)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_PythonLoop)->UseManualTime()->Iterations(1)->Repetitions(kRepetitions);
BENCHMARK(BM_EngineStringBuilding)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_PythonStringBuilding)->UseManualTime()->Iterations(1)->Repetitions(kRepetitions);
BENCHMARK(BM_DllRun)->Repetitions(kRepetitions);
BENCHMARK(BM_DllDirectCall)->Repetitions(kRepetitions);
BENCHMARK(BM_HistorianRun)->Repetitions(kRepetitions);
BENCHMARK(BM_HistorianClientCalls)->Repetitions(kRepetitions);
BENCHMARK(BM_DllRunThreads)
    ->Threads(1)
    ->Threads(kThreads)
    ->UseRealTime()
    ->Repetitions(kRepetitions);
BENCHMARK(BM_DllDirectCallThreads)
    ->Threads(1)
    ->Threads(kThreads)
    ->UseRealTime()
    ->Repetitions(kRepetitions);
BENCHMARK(BM_KernelThreads)
    ->Threads(1)
    ->Threads(kThreads)
    ->UseRealTime()
    ->Repetitions(kRepetitions);

std::string Threaded(const char* name, int threads) {
    return std::string(name) + "/real_time/threads:" + std::to_string(threads);
}

// Scaling: the time per run on one thread over the time per run of all
// threads together (Google Benchmark divides the wall time by every
// thread's runs).
bool PrintScalings(const bench::RecordingReporter& reporter) {
    auto scaling = [&](const char* name) {
        const std::string one = Threaded(name, 1), many = Threaded(name, kThreads);
        return reporter.Has(one) && reporter.Has(many) ? reporter.Nanos(one) / reporter.Nanos(many)
                                                       : 0.0;
    };
    const double runs = scaling("BM_DllRunThreads");
    const double calls = scaling("BM_DllDirectCallThreads");
    const double kernel = scaling("BM_KernelThreads");
    if (runs <= 0 || calls <= 0) return true;
    const unsigned cores = std::thread::hardware_concurrency();
    std::printf(
        "\n%d threads / 1: calculations %.2fx, formula called directly %.2fx, "
        "arithmetic alone %.2fx (%u cores)\n",
        kThreads, runs, calls, kernel, cores);
    const double share = runs / calls;
    if (cores < static_cast<unsigned>(kThreads)) {
        std::printf(
            "calculations' scaling / direct calls' scaling: %.2f (no target below %d "
            "cores)\n",
            share, kThreads);
        return true;
    }
    const bool met = share >= 0.8;
    std::printf("calculations' scaling / direct calls' scaling: %.2f >=0.8 %s\n", share,
                met ? "ok" : "MISSED");
    return met;
}

}  // namespace

int main(int argc, char** argv) {
    bench::InterleavedCommandLine args(argc, argv);
    const int rc = bench::RunWithRatios(
        args.argc(), args.argv(),
        {
            {"script run / CPython expression", "BM_ScriptRun",
             "BM_PythonExpression/iterations:1/manual_time", 30},
            {"engine loop / CPython loop (per step)", "BM_EngineLoop",
             "BM_PythonLoop/iterations:1/manual_time", 3, kLoopCount},
            {"string building / CPython (per append)", "BM_EngineStringBuilding",
             "BM_PythonStringBuilding/iterations:1/manual_time", 10, kAppendCount},
            {"DLL-formula run / direct formula call", "BM_DllRun", "BM_DllDirectCall", 1.5},
            {"historian run / direct client calls", "BM_HistorianRun", "BM_HistorianClientCalls",
             5},
        },
        PrintScalings);
    if (!getenv("MV_BENCH_KEEP")) fs::remove_all(Env().folder);
    return rc;
}
