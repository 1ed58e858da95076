// Cost of documents and activation as a client sees them: the module is
// registered in a registry store of its own and reached by class activation.
// Loads and saves of parameter collections are compared with reading and
// writing the same "L" stream's bytes through the storage layer; activation
// with a class factory already in hand; a name look-up with the first member
// of the parameter's table; a large registry batch with a small one.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_module.h"
#include "bench_ratios.h"
#include "com.h"
#include "interfaces/IMvObjCollection.h"
#include "interfaces/IMvParameter.h"
#include "interfaces/IMvPersistFile.h"
#include "oleaut.h"
#include "storage.h"
#include "sys.h"

namespace {

namespace fs = std::filesystem;

constexpr int kExtraClasses = 10000;
// Each benchmark runs this many times, interleaved with the others, and the
// ratios take its fastest run.
constexpr int kRepetitions = 3;

struct Environment {
    fs::path folder;
    std::string registry;       // the module registered
    std::string largeRegistry;  // the same with kExtraClasses other classes
    HMODULE module = nullptr;
};

std::string Document(int n) {
    return "doc-" + std::to_string(n) + ".mvc";
}

using bench::Check;

mv::ComPtr<IMvObjCollection> NewCollection() {
    mv::ComPtr<IMvObjCollection> collection;
    Check(CoCreateInstance(CLSID_MvObjCollection, nullptr, CLSCTX_INPROC_SERVER,
                           IID_IMvObjCollection, collection.PutVoid()) == S_OK,
          "creating a collection");
    return collection;
}

// A collection of n parameters: name, description, a double value and a
// binding text each.
mv::ComPtr<IMvObjCollection> MakeCollection(int n) {
    mv::ComPtr<IMvObjCollection> collection = NewCollection();
    for (int i = 0; i < n; ++i) {
        mv::ComPtr<IMvParameter> p;
        Check(CoCreateInstance(CLSID_MvParameter, nullptr, CLSCTX_INPROC_SERVER, IID_IMvParameter,
                               p.PutVoid()) == S_OK,
              "creating a parameter");
        const std::u16string index = mv::ToUtf16(std::to_string(i));
        mv::Bstr name(u"Param" + index);
        mv::Bstr description(u"Inlet temperature of unit " + index);
        mv::Bstr source(u"PLANT01.TIC" + index + u".PV");
        p->put_Name(name.get());
        p->put_Description(description.get());
        p->put_Value(mv::Variant(20.5 + i));
        p->put_Source(source.get());
        Check(collection->Add(name.get(), p.get()) == S_OK, "adding a parameter");
    }
    return collection;
}

std::vector<BYTE> ReadStream(const std::u16string& path) {
    mv::ComPtr<IStorage> storage;
    Check(StgOpenStorage(path.c_str(), nullptr, STGM_SHARE_EXCLUSIVE | STGM_READ, nullptr, 0,
                         storage.Put()) == S_OK,
          "opening a document");
    mv::ComPtr<IStream> stream;
    Check(storage->OpenStream(u"L", nullptr, STGM_SHARE_EXCLUSIVE | STGM_READ, 0, stream.Put()) ==
              S_OK,
          "opening its stream");
    std::vector<BYTE> bytes;
    BYTE buffer[65536];
    ULONG got = 0;
    while (stream->Read(buffer, sizeof buffer, &got) == S_OK && got > 0)
        bytes.insert(bytes.end(), buffer, buffer + got);
    return bytes;
}

void WriteStream(const std::u16string& path, const std::vector<BYTE>& bytes) {
    mv::ComPtr<IStorage> storage;
    Check(StgCreateDocfile(path.c_str(), STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE, 0,
                           storage.Put()) == S_OK,
          "creating a document");
    mv::ComPtr<IStream> stream;
    Check(storage->CreateStream(u"L", STGM_SHARE_EXCLUSIVE | STGM_READWRITE, 0, 0, stream.Put()) ==
              S_OK,
          "creating its stream");
    Check(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr) == S_OK,
          "writing its stream");
    stream.Reset();
    Check(storage->Commit(STGC_DEFAULT) == S_OK, "committing a document");
}

// The registry text of `count` classes that no library serves, each with a
// ProgID.
std::string ExtraClasses(int count) {
    std::string text;
    char guid[64];
    for (int i = 0; i < count; ++i) {
        std::snprintf(guid, sizeof guid, "{%08X-1234-4321-ABCD-0123456789AB}", i);
        const std::string progId = "Extra.Component" + std::to_string(i) + ".1";
        text +=
            "[HKEY_CLASSES_ROOT\\CLSID\\" + std::string(guid) + "]\r\n@=\"Extra Class\"\r\n\r\n";
        text += "[HKEY_CLASSES_ROOT\\CLSID\\" + std::string(guid) +
                "\\InprocServer32]\r\n@=\"/nonexistent/libextra.so\"\r\n\r\n";
        text += "[HKEY_CLASSES_ROOT\\" + progId + "\\CLSID]\r\n@=\"" + guid + "\"\r\n\r\n";
    }
    return text;
}

// Registers the module in a store of its own, saves the documents each
// benchmark reads, and writes the store with the extra classes.
Environment& Env() {
    static Environment* env = [] {
        auto* e = new Environment;
        e->folder = bench::MakeFolder("mvdocbench");
        e->registry = (e->folder / "registry.reg").string();
        e->largeRegistry = (e->folder / "large-registry.reg").string();
        e->module = bench::LoadAndRegisterModule(e->registry);
        std::ifstream in(e->registry, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        std::ofstream(e->largeRegistry, std::ios::binary) << text << "\r\n"
                                                          << ExtraClasses(kExtraClasses);
        for (int n : {100, 1000, 10000}) {
            mv::ComPtr<IMvPersistFile> file;
            Check(MakeCollection(n).As(&file) == S_OK, "IMvPersistFile");
            mv::Bstr path(mv::ToUtf16((e->folder / Document(n)).string()));
            Check(file->SaveToFile(path.get()) == S_OK, "saving a document");
        }
        return e;
    }();
    return *env;
}

std::u16string DocumentPath(int n) {
    return mv::ToUtf16((Env().folder / Document(n)).string());
}

void LoadDocument(benchmark::State& state, const std::string& registry) {
    Env();
    mv::RegistryUseFile(registry);
    const int n = static_cast<int>(state.range(0));
    mv::Bstr path(DocumentPath(n));
    for (auto _ : state) {
        mv::ComPtr<IMvObjCollection> collection = NewCollection();
        mv::ComPtr<IMvPersistFile> file;
        collection.As(&file);
        Check(file->LoadFromFile(path.get()) == S_OK, "loading a document");
        state.PauseTiming();
        file.Reset();
        collection.Reset();
        state.ResumeTiming();
    }
    mv::RegistryUseFile(Env().registry);
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_RawRead(benchmark::State& state) {
    const std::u16string path = DocumentPath(static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(ReadStream(path));
}
void BM_LoadFromFile(benchmark::State& state) {
    LoadDocument(state, Env().registry);
}
void BM_LoadFromFileLargeRegistry(benchmark::State& state) {
    LoadDocument(state, Env().largeRegistry);
}

void BM_RawWrite(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const std::vector<BYTE> bytes = ReadStream(DocumentPath(n));
    const std::u16string path = mv::ToUtf16((Env().folder / ("raw-" + Document(n))).string());
    for (auto _ : state) WriteStream(path, bytes);
    state.SetItemsProcessed(state.iterations() * n);
}
void BM_SaveToFile(benchmark::State& state) {
    Env();
    const int n = static_cast<int>(state.range(0));
    mv::ComPtr<IMvPersistFile> file;
    Check(MakeCollection(n).As(&file) == S_OK, "IMvPersistFile");
    mv::Bstr path(mv::ToUtf16((Env().folder / ("saved-" + Document(n))).string()));
    for (auto _ : state) Check(file->SaveToFile(path.get()) == S_OK, "saving a document");
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_FactoryCreateInstance(benchmark::State& state) {
    Env();
    mv::ComPtr<IClassFactory> factory;
    Check(CoGetClassObject(CLSID_MvParameter, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                           factory.PutVoid()) == S_OK,
          "getting the class object");
    for (auto _ : state) {
        mv::ComPtr<IMvParameter> p;
        factory->CreateInstance(nullptr, IID_IMvParameter, p.PutVoid());
        benchmark::DoNotOptimize(p.get());
    }
}
void BM_CoCreateInstanceByClsid(benchmark::State& state) {
    Env();
    for (auto _ : state) {
        mv::ComPtr<IMvParameter> p;
        CoCreateInstance(CLSID_MvParameter, nullptr, CLSCTX_INPROC_SERVER, IID_IMvParameter,
                         p.PutVoid());
        benchmark::DoNotOptimize(p.get());
    }
}
void BM_CoCreateInstanceByProgId(benchmark::State& state) {
    Env();
    for (auto _ : state) {
        CLSID clsid{};
        CLSIDFromProgID(u"Morva.Calc.Parameter", &clsid);
        mv::ComPtr<IMvParameter> p;
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IMvParameter, p.PutVoid());
        benchmark::DoNotOptimize(p.get());
    }
}

// The first and the last member of the parameter's dispatch table.
void GetIDsOfNames(benchmark::State& state, const char16_t* member) {
    Env();
    mv::ComPtr<IMvParameter> p;
    Check(CoCreateInstance(CLSID_MvParameter, nullptr, CLSCTX_INPROC_SERVER, IID_IMvParameter,
                           p.PutVoid()) == S_OK,
          "creating a parameter");
    std::u16string name(member);
    LPOLESTR names[] = {name.data()};
    for (auto _ : state) {
        DISPID id = 0;
        benchmark::DoNotOptimize(p->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
    }
}
void BM_GetIDsOfNamesFirst(benchmark::State& state) {
    GetIDsOfNames(state, u"description");
}
void BM_GetIDsOfNamesLast(benchmark::State& state) {
    GetIDsOfNames(state, u"interpolate");
}

// A batch creating n keys with a value each in a store file of its own.
void BM_RegistryBatch(benchmark::State& state) {
    Env();
    const int n = static_cast<int>(state.range(0));
    const std::string path = (Env().folder / ("batch-" + std::to_string(n) + ".reg")).string();
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove(path);
        mv::RegistryUseFile(path);
        state.ResumeTiming();
        mv::RegistryBatch([&] {
            for (int i = 0; i < n; ++i) {
                HKEY key = nullptr;
                const std::string name = "SOFTWARE\\Classes\\Key" + std::to_string(i * 7919 % n);
                RegCreateKeyExA(HKEY_LOCAL_MACHINE, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &key, nullptr);
                RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>("value"), 6);
                RegCloseKey(key);
            }
        });
    }
    mv::RegistryUseFile(Env().registry);
    state.SetItemsProcessed(state.iterations() * n);
}

BENCHMARK(BM_RawRead)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(kRepetitions);
BENCHMARK(BM_LoadFromFile)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(kRepetitions);
BENCHMARK(BM_LoadFromFileLargeRegistry)
    ->Arg(1000)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(kRepetitions);
BENCHMARK(BM_RawWrite)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(kRepetitions);
BENCHMARK(BM_SaveToFile)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(kRepetitions);
BENCHMARK(BM_FactoryCreateInstance)->Repetitions(kRepetitions);
BENCHMARK(BM_CoCreateInstanceByClsid)->Repetitions(kRepetitions);
BENCHMARK(BM_CoCreateInstanceByProgId)->Repetitions(kRepetitions);
BENCHMARK(BM_GetIDsOfNamesFirst)->Repetitions(kRepetitions);
BENCHMARK(BM_GetIDsOfNamesLast)->Repetitions(kRepetitions);
BENCHMARK(BM_RegistryBatch)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(kRepetitions);

}  // namespace

int main(int argc, char** argv) {
    bench::InterleavedCommandLine args(argc, argv);
    const int rc = bench::RunWithRatios(
        args.argc(), args.argv(),
        {
            {"load 100 / raw read", "BM_LoadFromFile/100", "BM_RawRead/100", 40},
            {"load 1000 / raw read", "BM_LoadFromFile/1000", "BM_RawRead/1000", 40},
            {"load 10000 / raw read", "BM_LoadFromFile/10000", "BM_RawRead/10000", 40},
            {"load 1000, 10000 extra classes / load 1000", "BM_LoadFromFileLargeRegistry/1000",
             "BM_LoadFromFile/1000", 1.2},
            {"save 100 / raw write", "BM_SaveToFile/100", "BM_RawWrite/100", 0},
            {"save 1000 / raw write", "BM_SaveToFile/1000", "BM_RawWrite/1000", 0},
            {"save 10000 / raw write", "BM_SaveToFile/10000", "BM_RawWrite/10000", 0},
            // The save's own cost per parameter: its time less the raw write
            // of the same bytes (file creation, flush and rename).
            {"save's own cost per parameter: 10000 / 100", "BM_SaveToFile/10000",
             "BM_SaveToFile/100", 1.5, 10000, 100, "BM_RawWrite/10000", "BM_RawWrite/100"},
            {"save per parameter: 10000 / 100", "BM_SaveToFile/10000", "BM_SaveToFile/100", 0,
             10000, 100},
            {"CoCreateInstance by CLSID / factory", "BM_CoCreateInstanceByClsid",
             "BM_FactoryCreateInstance", 5},
            {"CoCreateInstance by ProgID / factory", "BM_CoCreateInstanceByProgId",
             "BM_FactoryCreateInstance", 8},
            {"GetIDsOfNames last member / first", "BM_GetIDsOfNamesLast", "BM_GetIDsOfNamesFirst",
             2},
            {"registry batch 10000 keys / 1000 keys", "BM_RegistryBatch/10000",
             "BM_RegistryBatch/1000", 15},
        });
    // Leaves the registry and documents behind only when asked to.
    if (!getenv("MV_BENCH_KEEP")) fs::remove_all(Env().folder);
    return rc;
}
