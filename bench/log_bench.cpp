// Cost of the diagnostic log with "Methods" on: one line, and the three lines
// of a method call, against appending the same bytes to the same file with
// write(2).
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "bench_ratios.h"
#include "frame/diagnostic_log.h"
#include "frame/trace.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kMethod = "CMvParameter::put_Value";

struct Environment {
    fs::path folder;
    std::string file;
};

Environment& Env() {
    static Environment* env = [] {
        auto* e = new Environment;
        char pattern[] = "/tmp/mvlogbench-XXXXXX";
        if (!mkdtemp(pattern)) std::exit(2);
        e->folder = pattern;
        setenv("MORVA_COMMON_APPDATA", (e->folder / "appdata").c_str(), 1);
        fs::create_directories(e->folder / "appdata");
        mv::RegistryUseMemoryStore(true);
        // A size cap far above what a run writes, so that no run empties
        // the file.
        HKEY key = nullptr;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Morva\\Morva Calc\\Logging\\MorvaCalc", 0,
                        nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        RegSetValueExA(key, "Methods", 0, REG_SZ, reinterpret_cast<const BYTE*>("ON"), 3);
        const DWORD size = 4000;
        RegSetValueExA(key, "LogSize", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&size), 4);
        RegCloseKey(key);
        g_DiagnosticLog.Initialize(nullptr, LogComponentMorvaCalc, u"", u"17.0.0.266");
        if (!g_DiagnosticLog.IsOn(LogMethods)) std::exit(2);
        e->file = g_DiagnosticLog.CurrentFileName();
        return e;
    }();
    return *env;
}

// The bytes of one "Method - Start" line as the log stores them.
std::string LineBytes() {
    const std::string text = "(" + std::to_string(GetCurrentThreadId()) +
                             ") 03/07/2024 14:05:09.042 " + kMethod + ": Method - Start\r\n";
    std::string bytes;
    for (char16_t c : mv::ToUtf16(text))
        bytes += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    return bytes;
}

void RawAppend(benchmark::State& state, int lines) {
    const std::string bytes = LineBytes();
    int fd = ::open(Env().file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) std::exit(2);
    for (auto _ : state)
        for (int i = 0; i < lines; ++i)
            benchmark::DoNotOptimize(::write(fd, bytes.data(), bytes.size()));
    ::close(fd);
}

void BM_RawAppend(benchmark::State& state) {
    RawAppend(state, 1);
}
void BM_RawAppendThreeLines(benchmark::State& state) {
    RawAppend(state, 3);
}
void BM_MethodsLine(benchmark::State& state) {
    Env();
    const std::u16string name = mv::ToUtf16(kMethod);
    for (auto _ : state) g_DiagnosticLog.WriteLine(name, u"Method - Start");
}
void BM_MethodCall(benchmark::State& state) {
    Env();
    for (auto _ : state) benchmark::DoNotOptimize(MvMethodFrame(kMethod, [] { return S_OK; }));
}

BENCHMARK(BM_RawAppend);
BENCHMARK(BM_MethodsLine);
BENCHMARK(BM_RawAppendThreeLines);
BENCHMARK(BM_MethodCall);

}  // namespace

int main(int argc, char** argv) {
    const int rc = bench::RunWithRatios(
        argc, argv,
        {
            {"\"Methods\" line / raw append", "BM_MethodsLine", "BM_RawAppend", 3},
            {"method call (3 lines) / 3 raw appends", "BM_MethodCall", "BM_RawAppendThreeLines", 3},
        });
    fs::remove_all(Env().folder);
    return rc;
}
