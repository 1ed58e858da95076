// Cost of a store-and-forward catch-up as a scheduler sees it: 100
// calculations of the test formula library's WeightedSum (one result, the
// weighted sum of 10 historian inputs on a server of 11.3) in a one-minute
// schedule group catch up a day of history each (1,440 stamped runs per
// calculation). The baseline reads the same values straight from the
// historian stand-in and works out the same sums in plain C++. A variant has
// one input per calculation on a server of 11.2, read raw, sampled every
// minute in an hourly group (24 runs per calculation, each with the input's
// last sample at or before its hour), against a baseline of its own. The
// module is registered in a registry store of its own and reached by ProgID.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_module.h"
#include "bench_ratios.h"
#include "com.h"
#include "interfaces/IMvCalcEnvironment.h"
#include "interfaces/IMvCalculation.h"
#include "interfaces/IMvParameter.h"
#include "interfaces/IMvPersistFile.h"
#include "interfaces/IMvScheduleGroup.h"
#include "keldrin_api.h"
#include "keldrin_sim.h"
#include "oleaut.h"
#include "sys.h"

namespace {

namespace fs = std::filesystem;

constexpr int kCalculations = 100;
constexpr int kInputs = 10;
constexpr int kSamples = 1441;  // a day of minutes, both ends
constexpr LONG kValue = 0x10000;
constexpr LONG kResult = 0x20000;
constexpr int kHours = 24;

using bench::Check;

// 2024-03-10 00:00 UTC plus the minutes.
KeldrinTime Minute(int minutes) {
    std::tm tm{};
    tm.tm_year = 2024 - 1900;
    tm.tm_mon = 2;
    tm.tm_mday = 10;
    return KeldrinTime{static_cast<ULONG>(timegm(&tm) + minutes * 60), 0};
}

double SampleValue(int input, int minute) {
    return 10.0 + input * 0.5 + (minute % 97) * 0.25;
}

std::string InputName(int calc, int input) {
    return "IN" + std::to_string(calc) + "_" + std::to_string(input);
}

struct World {
    fs::path folder;
    HMODULE module = nullptr;
    std::vector<LONG> inputs;   // record identifiers, calculation by calculation
    std::vector<LONG> results;  // one per calculation
    std::vector<std::string> names;
    mv::ComPtr<IMvScheduleGroup> group;
    mv::ComPtr<IMvCalcEnvironment> environment;
    LONG (*runCount)() = nullptr;
};

template <class Itf>
mv::ComPtr<Itf> Create(const char16_t* progId, REFIID iid) {
    CLSID clsid{};
    Check(CLSIDFromProgID(progId, &clsid) == S_OK, "finding a class");
    mv::ComPtr<Itf> object;
    Check(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, object.PutVoid()) == S_OK,
          "creating an object");
    return object;
}

void Bind(IMvCalculation* calc, const std::string& name, LONG direction, const std::string& record,
          const char16_t* field, LONG history, const char16_t* node = u"PLANT") {
    mv::ComPtr<IMvParameter> p;
    Check(calc->AddParameter(mv::Bstr(mv::ToUtf16(name)).get(), p.Put()) == S_OK, "a parameter");
    p->put_ParameterType(direction);
    p->put_BindingType(mvcKeldrin);
    p->put_NodeName(mv::Bstr(node).get());
    p->put_RecordName(mv::Bstr(mv::ToUtf16(record)).get());
    p->put_FieldName(mv::Bstr(field).get());
    p->put_HistoryField_ID(history);
}

// The results were never stored and the calculations' run caches are
// cleared (which forgets where their catch-ups finished): the next catch-up
// starts at the group's first run time again.
void ForgetResults(World& w, const char* node = "PLANT") {
    for (LONG record : w.results) KhSim_ClearValueTime(node, record, kResult);
    if (!w.environment) return;
    for (const std::string& name : w.names) {
        mv::ComPtr<IMvCalculation> calc;
        if (w.environment->GetCalcObject(mv::Bstr(mv::ToUtf16(name)).get(), nullptr, calc.Put()) ==
            S_OK)
            calc->ClearCache();
    }
}

// A calculation of WeightedSum with its inputs on `inputs` and its result on
// `out` of the node, saved under its name and made a member of the group.
void AddCalculation(World& w, const std::string& name, const std::vector<std::string>& inputs,
                    const std::string& out, const char16_t* node) {
    auto calc = Create<IMvCalculation>(u"Morva.Calc.Calculation.1", IID_IMvCalculation);
    calc->put_Name(mv::Bstr(mv::ToUtf16(name)).get());
    calc->put_FormulaType(mvcDLL_Execute_Method);
    calc->put_DllName(mv::Bstr(u"MvTestFormulas.dll").get());
    calc->put_FunctionName(mv::Bstr(u"WeightedSum").get());
    calc->put_EnableStoreAndForward(VARIANT_TRUE);
    for (size_t i = 0; i < inputs.size(); ++i)
        Bind(calc.get(), "In" + std::to_string(i + 1), mvcInput, inputs[i], u"VAL", kValue, node);
    Bind(calc.get(), "Out", mvcOutput, out, u"RESULT", 0, node);
    mv::ComPtr<IMvPersistFile> file;
    Check(calc.As(&file) == S_OK, "IMvPersistFile");
    const std::string path = (w.folder / "Calc" / (name + ".mvc")).string();
    Check(file->SaveToFile(mv::Bstr(mv::ToUtf16(path)).get()) == S_OK, "saving");
    mv::ComPtr<IMvCalculationRef> ref;
    Check(w.group->AddCalculation(mv::Bstr(mv::ToUtf16(name)).get(), ref.Put()) == S_OK,
          "adding a member");
    w.names.push_back(name);
}

// An input record of the node with a day of samples, the last also its
// current value.
LONG AddInput(const char* node, const std::string& name, int input) {
    const LONG record = KhSim_AddRecord(node, name.c_str(), 0);
    Check(record > 0 && KhSim_AddField(node, record, "VAL", kValue, -16, 0) == 1,
          "an input record");
    for (int m = 0; m < kSamples; ++m) {
        KhSimValue v{};
        v.Number = SampleValue(input, m);
        v.Stamp = Minute(m);
        Check(KhSim_AddSample(node, record, kValue, &v) == 1, "a sample");
        if (m == kSamples - 1) KhSim_SetValue(node, record, kValue, &v);
    }
    return record;
}

LONG AddResult(const char* node, const std::string& name) {
    const LONG record = KhSim_AddRecord(node, name.c_str(), 0);
    Check(record > 0 && KhSim_AddField(node, record, "RESULT", kResult, -16, 0) == 1,
          "a result record");
    return record;
}

mv::ComPtr<IMvScheduleGroup> NewGroup(const char16_t* name, DATE rate) {
    auto group = Create<IMvScheduleGroup>(u"Morva.Calc.ScheduleGroup.1", IID_IMvScheduleGroup);
    group->put_Name(mv::Bstr(name).get());
    group->put_ScheduleRate(rate);
    group->put_FirstRunTime(Minute(0).Seconds / 86400.0 + 25569.0);
    return group;
}

World& TheWorld() {
    static World* world = [] {
        auto* w = new World;
        setenv("TZ", "UTC", 1);
        tzset();
        w->folder = bench::MakeFolder("mvcatchup");
        fs::create_directories(w->folder / "Calc");
        setenv("MORVA_CALC_BASE", w->folder.c_str(), 1);
        setenv("MORVA_DLL_PATH", (bench::BuildFolder() / "formulas").c_str(), 1);
        w->module = bench::LoadAndRegisterModule(w->folder / "registry.reg");
        HMODULE formulas = LoadLibraryA("MvTestFormulas.dll");
        Check(formulas != nullptr, "loading the test formulas");
        w->runCount = reinterpret_cast<LONG (*)()>(GetProcAddress(formulas, "FormulaRunCount"));
        Check(w->runCount != nullptr, "the run counter");

        KhSim_Reset();
        Check(KhSim_AddServer("PLANT", 11, 3, 0) > 0, "adding the server");
        for (int c = 0; c < kCalculations; ++c) {
            for (int i = 0; i < kInputs; ++i)
                w->inputs.push_back(AddInput("PLANT", InputName(c, i), i));
            w->results.push_back(AddResult("PLANT", "OUT" + std::to_string(c)));
        }
        ForgetResults(*w);
        const KeldrinTime now{Minute(kSamples - 1).Seconds + 30, 0};
        KhSim_SetClock(&now);

        w->group = NewGroup(u"Minutes", 1.0 / 1440.0);
        for (int c = 0; c < kCalculations; ++c) {
            std::vector<std::string> inputs;
            for (int i = 0; i < kInputs; ++i) inputs.push_back(InputName(c, i));
            AddCalculation(*w, "Calc" + std::to_string(c), inputs, "OUT" + std::to_string(c),
                           u"PLANT");
        }
        // Kept, so that its final release does not empty the caches.
        w->environment =
            Create<IMvCalcEnvironment>(u"Morva.Calc.Environment.1", IID_IMvCalcEnvironment);
        return w;
    }();
    return *world;
}

// The raw variant, on the node RAWPLANT of 11.2 beside the first world:
// one input per calculation in an hourly group.
World& TheRawWorld() {
    static World* world = [] {
        World& first = TheWorld();
        auto* w = new World;
        w->folder = first.folder;
        w->runCount = first.runCount;
        w->environment = first.environment;
        Check(KhSim_AddServer("RAWPLANT", 11, 2, 0) > 0, "adding the raw server");
        w->group = NewGroup(u"Hours", 1.0 / 24.0);
        for (int c = 0; c < kCalculations; ++c) {
            const std::string in = "RIN" + std::to_string(c), out = "ROUT" + std::to_string(c);
            w->inputs.push_back(AddInput("RAWPLANT", in, c % kInputs));
            w->results.push_back(AddResult("RAWPLANT", out));
            AddCalculation(*w, "Raw" + std::to_string(c), {in}, out, u"RAWPLANT");
        }
        ForgetResults(*w, "RAWPLANT");
        return w;
    }();
    return *world;
}

// The node's server as a client connects it.
LONG Connect(const std::string& node) {
    const std::string alias = node + "__AC";
    if (DaLookupAlias(alias.c_str()) > 0) return DaLookupAlias(alias.c_str());
    KeldrinErrorBlock err{};
    return DaAddServer((node + " 200 /ALIAS=" + alias).c_str(), &err);
}

// The day of samples, both ends, as microsecond times.
void DaySpan(KeldrinUst* b, KeldrinUst* e) {
    const KeldrinTime first = Minute(0), last = Minute(kSamples - 1);
    XTS2XUST(&first, b);
    XTS2XUST(&last, e);
}

// Every input's day read on the minute grid as the catch-up reads it, and
// every calculation's weighted sum for each minute after the first.
void BM_Baseline(benchmark::State& state) {
    World& w = TheWorld();
    KeldrinErrorBlock err{};
    const LONG server = Connect("PLANT");
    std::vector<std::vector<BYTE>> buffers(w.inputs.size(), std::vector<BYTE>(kSamples * 24));
    std::vector<KeldrinUst> times(kSamples);
    std::vector<SHORT> codes(kSamples);
    std::vector<double> sums(static_cast<size_t>(kCalculations) * kSamples);
    KeldrinUst b{}, e{};
    DaySpan(&b, &e);
    const KeldrinUst period{60, 0};
    for (auto _ : state) {
        DaSetDefaultServer(static_cast<SHORT>(server), &err);
        for (size_t k = 0; k < w.inputs.size(); ++k) {
            void* const list[1] = {buffers[k].data()};
            SHORT type = -16, more = 0;
            LONG returned = 0, field = kValue;
            RHISKDINTERPOLATE(2, 1, 0, 0, w.inputs[k], field | 1, &b, &e, &period, 1, &field, &type,
                              kSamples, codes.data(), times.data(), list, &returned, &more, &err);
            Check(err.ERRORCODE == 0 && returned == kSamples, "a baseline read");
        }
        for (int c = 0; c < kCalculations; ++c)
            for (int m = 1; m < kSamples; ++m) {
                double sum = 0.0;
                for (int i = 0; i < kInputs; ++i) {
                    double x = 0.0;
                    std::memcpy(&x, buffers[static_cast<size_t>(c * kInputs + i)].data() + m * 24,
                                sizeof x);
                    sum += (i + 1) * x;
                }
                sums[static_cast<size_t>(c * kSamples + m)] = sum;
            }
        benchmark::DoNotOptimize(sums.data());
    }
}

// Every raw input's day of samples read as they are stored, the last sample
// at or before each hour after the first found in them, and each
// calculation's weighted sum (of its one input) for each hour.
void BM_RawBaseline(benchmark::State& state) {
    World& w = TheRawWorld();
    KeldrinErrorBlock err{};
    const LONG server = Connect("RAWPLANT");
    std::vector<BYTE> buffer(kSamples * 24);
    std::vector<KeldrinUst> times(kSamples);
    std::vector<SHORT> codes(kSamples);
    std::vector<double> sums(static_cast<size_t>(kCalculations) * kHours);
    KeldrinUst b{}, e{};
    DaySpan(&b, &e);
    for (auto _ : state) {
        DaSetDefaultServer(static_cast<SHORT>(server), &err);
        for (int c = 0; c < kCalculations; ++c) {
            void* const list[1] = {buffer.data()};
            SHORT type = -16, more = 0;
            LONG returned = 0, field = kValue;
            RHISKDDATA(2, 1, 0, w.inputs[static_cast<size_t>(c)], field | 1, &b, &e, 1, &field,
                       &type, kSamples, codes.data(), times.data(), list, &returned, &more, &err);
            Check(err.ERRORCODE == 0 && returned == kSamples, "a raw baseline read");
            LONG k = 0;
            for (int h = 1; h <= kHours; ++h) {
                const ULONG hour = b.Seconds + static_cast<ULONG>(h) * 3600;
                while (k + 1 < returned && times[static_cast<size_t>(k + 1)].Seconds <= hour) ++k;
                double x = 0.0;
                std::memcpy(&x, buffer.data() + k * 24, sizeof x);
                sums[static_cast<size_t>(c * kHours + h - 1)] = x;
            }
        }
        benchmark::DoNotOptimize(sums.data());
    }
}

// The group's check pass, forced, on calculations that are caught up.
void BM_CheckPass(benchmark::State& state) {
    World& w = TheWorld();
    ForgetResults(w);
    Check(w.group->CalculateStoreForward(VARIANT_TRUE) == S_OK, "a catch-up");
    for (auto _ : state)
        Check(w.group->CheckStoreForward(VARIANT_TRUE, VARIANT_TRUE) == S_OK, "a check");
}

// The group's calculate pass: each calculation catches its day up.
void BM_CatchUp(benchmark::State& state) {
    World& w = TheWorld();
    for (auto _ : state) {
        state.PauseTiming();
        ForgetResults(w);
        const LONG before = w.runCount();
        state.ResumeTiming();
        Check(w.group->CalculateStoreForward(VARIANT_TRUE) == S_OK, "a catch-up");
        state.PauseTiming();
        Check(w.runCount() - before == kCalculations * (kSamples - 1), "every run");
        state.ResumeTiming();
    }
}

// The raw variant's calculate pass: each calculation catches its day up.
void BM_RawCatchUp(benchmark::State& state) {
    World& w = TheRawWorld();
    for (auto _ : state) {
        state.PauseTiming();
        ForgetResults(w, "RAWPLANT");
        const LONG before = w.runCount();
        state.ResumeTiming();
        Check(w.group->CalculateStoreForward(VARIANT_TRUE) == S_OK, "a raw catch-up");
        state.PauseTiming();
        Check(w.runCount() - before == kCalculations * kHours, "every raw run");
        state.ResumeTiming();
    }
}

BENCHMARK(BM_Baseline)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_CheckPass)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_CatchUp)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_RawBaseline)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_RawCatchUp)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    return bench::RunWithRatios(
        argc, argv,
        {
            {"check pass / baseline", "BM_CheckPass/iterations:5", "BM_Baseline/iterations:5", 0},
            {"catch-up / baseline", "BM_CatchUp/iterations:3", "BM_Baseline/iterations:5", 20},
            {"raw catch-up / raw baseline", "BM_RawCatchUp/iterations:3",
             "BM_RawBaseline/iterations:5", 20},
        });
}
