// Cost of the common VARIANT coercions between numbers, text and dates.
#include <benchmark/benchmark.h>

#include "oleaut.h"

namespace {

void Convert(benchmark::State& state, const mv::Variant& src, VARTYPE vt) {
    for (auto _ : state) {
        mv::Variant out;
        benchmark::DoNotOptimize(VariantChangeType(&out, &src, 0, vt));
        benchmark::DoNotOptimize(out.llVal);
    }
}

void R8ToBstr(benchmark::State& state) {
    Convert(state, mv::Variant(1234.5678), VT_BSTR);
}
void BstrToR8(benchmark::State& state) {
    Convert(state, mv::Variant(u" 1,234.5678 "), VT_R8);
}
void R8ToI4(benchmark::State& state) {
    Convert(state, mv::Variant(2.5), VT_I4);
}
void I4ToBstr(benchmark::State& state) {
    Convert(state, mv::Variant(LONG(-123456)), VT_BSTR);
}
void BstrToI4(benchmark::State& state) {
    Convert(state, mv::Variant(u"-123456"), VT_I4);
}
void DateToBstr(benchmark::State& state) {
    Convert(state, mv::Variant::Date(45293.627835648), VT_BSTR);
}
void BstrToDate(benchmark::State& state) {
    Convert(state, mv::Variant(u"1/2/2024 3:04:05 PM"), VT_DATE);
}
void DateToR8(benchmark::State& state) {
    Convert(state, mv::Variant::Date(45293.5), VT_R8);
}

BENCHMARK(R8ToBstr);
BENCHMARK(BstrToR8);
BENCHMARK(R8ToI4);
BENCHMARK(I4ToBstr);
BENCHMARK(BstrToI4);
BENCHMARK(DateToBstr);
BENCHMARK(BstrToDate);
BENCHMARK(DateToR8);

}  // namespace
