// Discovery of a long formula text's names by the formula library's
// stand-in, reached by name as the module reaches it: a parse that lists
// every name, read back one by one, of 10,000 and of 100,000 lines
// `Xk = A + k`, each naming a new parameter. Target: the longer text within
// 20x the shorter one (10x is linear).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench_module.h"
#include "bench_ratios.h"
#include "comobj.h"
#include "corvex.h"
#include "corvex_sim.h"

MV_DEFINE_GUID(IID_IBenchCalc, 0x6A2C4E81, 0x3D5F, 0x4B17, 0x9C, 0x2E, 0x71, 0x80, 0x93, 0xA4, 0xB5,
               0xC6);

// The one member of a calculation that a parse calls, and only when it
// fails.
struct IBenchCalc : IDispatch {
    virtual HRESULT get_ErrorText(BSTR* p) = 0;
    virtual HRESULT put_ErrorText(BSTR v) = 0;
};
MV_IID_OF(IBenchCalc, IID_IBenchCalc);
MV_DISPATCH_TABLE(IBenchCalc, mv::PropGet<&IBenchCalc::get_ErrorText>(0xDE, u"ErrorText"),
                  mv::PropPut<&IBenchCalc::put_ErrorText>(0xDE, u"ErrorText"))

namespace {

using bench::Check;

// Each benchmark runs this many times, interleaved with the other, and the
// ratio takes its fastest run.
constexpr int kRepetitions = 5;

class BenchCalc : public mv::ComObjectRoot<BenchCalc>, public mv::DispatchImpl<IBenchCalc> {
public:
    using InterfaceMap = mv::Interfaces<IBenchCalc, mv::Via<IDispatch, IBenchCalc>>;
    HRESULT get_ErrorText(BSTR* p) override {
        *p = mv::Bstr(std::u16string_view(errorText)).Detach();
        return S_OK;
    }
    HRESULT put_ErrorText(BSTR v) override {
        errorText = v ? v : u"";
        return S_OK;
    }
    std::u16string errorText;
};

void Discovery(benchmark::State& state) {
    const auto lines = static_cast<int>(state.range(0));
    std::string text;
    for (int k = 1; k <= lines; ++k)
        text += "X" + std::to_string(k) + " = A + " + std::to_string(k) + "\n";
    Check(CorvexSim_SetLibrary(CORVEXSIM_FULL) == 1, "choosing the library");
    HMODULE library = LoadLibraryA("corvex.dll");
    Check(library != nullptr, "loading the library");
    auto parse =
        reinterpret_cast<PFN_parse_simple_calc3>(GetProcAddress(library, "parse_simple_calc3"));
    auto next = reinterpret_cast<PFN_next_parameter3>(GetProcAddress(library, "next_parameter3"));
    auto release =
        reinterpret_cast<PFN_free_simple_calc>(GetProcAddress(library, "free_simple_calc"));
    Check(parse && next && release, "finding the calls");
    mv::ComPtr<mv::ComObject<BenchCalc>> calc;
    Check(mv::MakeComObject(&calc) == S_OK, "making the calculation");
    std::vector<char> name(CORVEX_TEXT_BUFFER), node(CORVEX_TEXT_BUFFER),
        record(CORVEX_TEXT_BUFFER);
    for (auto _ : state) {
        void* handle = nullptr;
        parse(reinterpret_cast<IMvCalculation*>(static_cast<IBenchCalc*>(calc.get())), text.c_str(),
              &handle, 0);
        LONG found = 1, count = 0;
        for (; found; ++count) {
            LONG kind = 0;
            double offset = 0;
            next(handle, name.data(), node.data(), record.data(), &found, &kind, &offset);
        }
        release(handle);
        Check(calc->errorText.empty() && count == lines + 2,
              "discovering every name");  // and A, and the end
    }
    FreeLibrary(library);
}

BENCHMARK(Discovery)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(kRepetitions);

}  // namespace

int main(int argc, char** argv) {
    bench::InterleavedCommandLine args(argc, argv);
    return bench::RunWithRatios(
        args.argc(), args.argv(),
        {
            {"100,000 lines / 10,000 lines", "Discovery/100000", "Discovery/10000", 20},
        });
}
