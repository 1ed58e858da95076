// Every load of the module is undone by its unload: memory included, which
// the leak report at this program's exit checks.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "com.h"
#include "comobj.h"
#include "hosted_servers_sim.h"
#include "interfaces/IMvParameter.h"
#include "sys.h"

namespace {

namespace fs = std::filesystem;

fs::path LibDir() {
    const char* d = std::getenv("MV_TEST_LIB_DIR");
    return d && *d ? fs::path(d)
                   : fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "lib";
}

template <class I>
mv::ComPtr<I> Create(HMODULE module, const char16_t* clsidText) {
    using GetClassObject = HRESULT (*)(REFCLSID, REFIID, LPVOID*);
    auto get = reinterpret_cast<GetClassObject>(GetProcAddress(module, "DllGetClassObject"));
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromString(clsidText, &clsid), S_OK);
    mv::ComPtr<IClassFactory> factory;
    mv::ComPtr<I> object;
    if (!get || get(clsid, IID_IClassFactory, factory.PutVoid()) != S_OK) return object;
    EXPECT_EQ(factory->CreateInstance(nullptr, mv::IidOf<I>::value, object.PutVoid()), S_OK);
    return object;
}

// What a client does in one load: a parameter that asks the local historian
// for a record (through the older historian library, which the module loads
// by name for the error text), and a spreadsheet calculation, which the
// object-server thread serves. The historian gets its local node through its control surface,
// found in the library the module mapped; adding the node succeeds only in a
// historian that starts empty.
void UseTheModule(HMODULE module, const std::string& historian) {
    void* library = dlopen(historian.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(library, nullptr) << "the module maps the historian";
    using AddServer = LONG (*)(const char*, LONG, LONG, LONG);
    using SetOlderLibraryPresent = LONG (*)(LONG);
    auto addServer = reinterpret_cast<AddServer>(dlsym(library, "KhSim_AddServer"));
    auto setOlder =
        reinterpret_cast<SetOlderLibraryPresent>(dlsym(library, "KhSim_SetOlderLibraryPresent"));
    const LONG added = addServer ? addServer("LOCALNODE", 11, 3, 1) : 0;
    const LONG older = setOlder ? setOlder(1) : 0;
    dlclose(library);
    ASSERT_GT(added, 0) << "a historian left from an earlier load";
    ASSERT_NE(older, 0);

    auto parameter = Create<IMvParameter>(module, u"{3C8B53F2-E39D-11D2-B903-00805F712C95}");
    ASSERT_TRUE(parameter);
    mv::Bstr server(u"localhost"), record(u"NOPE"), map(u""), error;
    EXPECT_EQ(parameter->SetUsingMap(server.get(), record.get(), map.get(), error.Out()), S_OK);
    EXPECT_EQ(error.Utf8(), "Could not find record \"NOPE\" ( Record not found. )");

    auto calculation = Create<IDispatch>(module, u"{3C8B53F0-E39D-11D2-B903-00805F712C95}");
    ASSERT_TRUE(calculation);
    EXPECT_EQ(mv::DispPutPropertyByName(calculation.get(), u"FormulaType", mv::Variant(LONG{5})),
              S_OK);
    EXPECT_EQ(mv::DispPutPropertyByName(calculation.get(), u"ExcelFileName",
                                        mv::Variant(u"/data/Plant.xls")),
              S_OK);
    mv::Variant none;
    EXPECT_EQ(mv::DispInvokeMethodByName(calculation.get(), u"Calculate", nullptr, 0, &none), S_OK);
    mv::Variant reason;
    EXPECT_EQ(mv::DispGetPropertyByName(calculation.get(), u"ErrorText", &reason), S_OK);
    EXPECT_EQ(mv::ToUtf8(reason.bstrVal), "");
}

TEST(ModuleUnload, AHundredLoadsAndUnloadsUnmapTheModuleAndTheHistorianEachTime) {
    const std::string module = fs::canonical(LibDir() / "libMvMorvaCalc.so").string();
    const std::string historian = fs::canonical(LibDir() / "libkeldrin_api.so").string();
    const std::string older = fs::canonical(LibDir() / ".." / "dlls" / "libkeldcore.so").string();
    hosted::Reset();
    ASSERT_EQ(hosted::RegisterServers(hosted::Bit(hosted::Server::Excel)), S_OK);
    hosted::SeedWorkbook(u"Plant.xls", {u"Sheet1"});
    for (int round = 1; round <= 100; ++round) {
        SCOPED_TRACE(round);
        HMODULE loaded = LoadLibraryA(module.c_str());
        ASSERT_NE(loaded, nullptr) << mv::LoaderErrorText();
        UseTheModule(loaded, historian);
        ASSERT_TRUE(FreeLibrary(loaded));
        ASSERT_EQ(dlopen(module.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "module mapped";
        ASSERT_EQ(dlopen(historian.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "historian mapped";
        ASSERT_EQ(dlopen(older.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "older library mapped";
    }
    hosted::RevokeServers();
    hosted::Reset();
}

}  // namespace
