#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "com_test_support.h"
#include "sys.h"

namespace {

namespace fs = std::filesystem;

// Classes 1 to 5 of one family; the test server library serves the first.
constexpr GUID TestClass(WORD n) {
    return {0x6F1B2C3D, n, 0x4A5B, {0x8C, 0x7D, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}};
}
const GUID CLSID_MvTestServer = TestClass(1), CLSID_Missing = TestClass(2),
           CLSID_NoFile = TestClass(3), CLSID_NoEntry = TestClass(4), CLSID_Local = TestClass(5);

template <class T>
HRESULT Create(REFCLSID clsid, T** out, DWORD ctx = CLSCTX_ALL, IUnknown* outer = nullptr) {
    return CoCreateInstance(clsid, outer, ctx, mv::IidOf<T>::value, reinterpret_cast<void**>(out));
}

std::string LibDir() {
    const char* d = std::getenv("MV_TEST_LIB_DIR");
    if (d && *d) return d;
    return (fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "lib").string();
}

void SetDefault(const std::string& key, const std::string& value) {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &k, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(k);
}

void RegisterServer(const GUID& clsid, const std::string& file, const char* progId) {
    std::string key = "CLSID\\" + mv::GuidToString(clsid);
    SetDefault(key + "\\InprocServer32", file);
    if (progId) {
        SetDefault(key + "\\ProgID", progId);
        SetDefault(std::string(progId) + "\\CLSID", mv::GuidToString(clsid));
    }
}

// A class object of the process-local table that stands in for its product.
struct LocalFactory final : Stub<IClassFactory> {
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        lastOuter = outer;
        return QueryInterface(riid, ppv);
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
    IUnknown* lastOuter = nullptr;
};

class Activation : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::path(::testing::TempDir()) /
               ("mvact_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        mv::RegistryUseFile((dir_ / "registry.reg").string());
        log_ = dir_ / "dllmain.log";
        ::setenv("MV_TESTLIB_LOG", log_.c_str(), 1);
        server_ = LibDir() + "/libmvtest_server.so";
        RegisterServer(CLSID_MvTestServer, server_, "Mv.TestServer.1");
        SetDefault("Mv.TestServer\\CurVer", "Mv.TestServer.1");
        RegisterServer(CLSID_NoFile, (dir_ / "absent.so").string(), nullptr);
        RegisterServer(CLSID_NoEntry, LibDir() + "/libmvtest_plain.so", nullptr);
    }
    void TearDown() override {
        CoFreeUnusedLibrariesEx(0, 0);
        ::unsetenv("MV_TESTLIB_LOG");
        mv::RegistryUseFile("");
        fs::remove_all(dir_);
    }
    std::string Log() {
        std::ifstream in(log_);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    fs::path dir_, log_;
    std::string server_;
};

TEST_F(Activation, CreatesARegisteredServerByProgIdThroughItsLibrary) {
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID(u"Mv.TestServer", &clsid), S_OK);  // through CurVer
    EXPECT_EQ(clsid, CLSID_MvTestServer);
    IDispatch* a = nullptr;
    IDispatch* b = nullptr;
    ASSERT_EQ(Create(clsid, &a), S_OK);
    ASSERT_EQ(Create(clsid, &b, CLSCTX_INPROC_SERVER), S_OK);
    EXPECT_EQ(CallMethod(a, 1), 42);
    EXPECT_EQ(Log(), "attach server\n");  // loaded once for both

    CoFreeUnusedLibrariesEx(0, 0);  // objects alive: the server stays
    EXPECT_EQ(Log(), "attach server\n");
    a->Release();
    b->Release();
    CoFreeUnusedLibrariesEx(0, 0);
    EXPECT_EQ(Log(), "attach server\ndetach server\n");

    // Created again after it was freed: a new load.
    ASSERT_EQ(Create(clsid, &a), S_OK);
    a->Release();
    CoFreeUnusedLibrariesEx(0, 0);
    EXPECT_EQ(Log(), "attach server\ndetach server\nattach server\ndetach server\n");
}

// A server that can unload is freed only once it has answered so at every
// call for the whole delay; a class-object call in between starts the wait
// again. CoFreeUnusedLibraries waits ten minutes.
TEST_F(Activation, FreesAnUnusedServerOnceItsDelayHasPassed) {
    static ULONGLONG now;
    now = 5000;
    mv::SetTickClockForTesting([] { return now; });
    constexpr DWORD kDefault = 0xFFFFFFFF;  // CoFreeUnusedLibraries()
    const struct Step {
        ULONGLONG at;
        bool create;  // an object made and released first
        DWORD delay;
        int loads, frees;
    } steps[] = {
        {5000, true, 100, 1, 0},  // marked
        {5099, false, 100, 1, 0},
        {5099, true, 100, 1, 0},  // marked again
        {5100, false, 100, 1, 0},
        {5198, false, 100, 1, 0},
        {5199, false, 100, 1, 1},
        {6000, true, 0, 2, 2},  // no delay: at once
        {7000, true, kDefault, 3, 2},
        {7000 + 599999, false, kDefault, 3, 2},
        {7000 + 600000, false, kDefault, 3, 3},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.at);
        now = step.at;
        if (step.create) {
            IDispatch* a = nullptr;
            ASSERT_EQ(Create(CLSID_MvTestServer, &a), S_OK);
            EXPECT_EQ(CallMethod(a, 1), 42);
            a->Release();
        }
        if (step.delay == kDefault)
            CoFreeUnusedLibraries();
        else
            CoFreeUnusedLibrariesEx(step.delay, 0);
        std::string expected;
        for (int i = 0; i < step.loads; ++i)
            expected += i < step.frees ? "attach server\ndetach server\n" : "attach server\n";
        EXPECT_EQ(Log(), expected);
    }
    mv::SetTickClockForTesting(nullptr);
}

TEST_F(Activation, FailuresNameTheirCause) {
    struct Case {
        const char* what;
        const GUID* clsid;
        DWORD ctx;
        HRESULT hr;
    };
    const Case cases[] = {
        {"unregistered", &CLSID_Missing, CLSCTX_ALL, REGDB_E_CLASSNOTREG},
        {"library missing", &CLSID_NoFile, CLSCTX_ALL, CO_E_DLLNOTFOUND},
        {"no DllGetClassObject", &CLSID_NoEntry, CLSCTX_ALL, CO_E_ERRORINDLL},
        {"not in process", &CLSID_MvTestServer, CLSCTX_LOCAL_SERVER, REGDB_E_CLASSNOTREG},
    };
    for (const auto& c : cases) {
        IUnknown* p = reinterpret_cast<IUnknown*>(&dir_);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(Create(*c.clsid, &p, c.ctx), c.hr) << c.what;
        std::string diagnostics = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(p, nullptr) << c.what;
        bool expectLine = c.hr == CO_E_DLLNOTFOUND || c.hr == CO_E_ERRORINDLL;
        EXPECT_EQ(diagnostics.find(mv::GuidToString(*c.clsid)) != std::string::npos, expectLine)
            << c.what << ": " << diagnostics;
    }
    IDispatch* disp = nullptr;
    EXPECT_EQ(Create(CLSID_MvTestServer, &disp, CLSCTX_ALL, reinterpret_cast<IUnknown*>(&dir_)),
              CLASS_E_NOAGGREGATION);  // the server's own answer reaches the caller
}

TEST_F(Activation, TheLocalTableComesFirst) {
    LocalFactory factory;
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(CLSID_MvTestServer, &factory, CLSCTX_INPROC_SERVER,
                                    REGCLS_MULTIPLEUSE, &cookie),
              S_OK);
    EXPECT_EQ(factory.refs, 2u);
    IUnknown* outer = reinterpret_cast<IUnknown*>(&cookie);
    IUnknown* p = nullptr;
    ASSERT_EQ(Create(CLSID_MvTestServer, &p, CLSCTX_ALL, outer), S_OK);
    EXPECT_EQ(p, static_cast<IUnknown*>(&factory));
    EXPECT_EQ(factory.lastOuter, outer);  // aggregation reaches the factory
    p->Release();
    EXPECT_EQ(Log(), "");  // the library was not loaded

    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    EXPECT_EQ(factory.refs, 1u);
    EXPECT_EQ(CoRevokeClassObject(cookie), CO_E_OBJNOTREG);
    EXPECT_EQ(Create(CLSID_Local, &p), REGDB_E_CLASSNOTREG);
}

TEST_F(Activation, RemoteHostsComeFromTheTestTable) {
    LocalFactory product;
    mv::RegisterRemoteHostForTesting(u"PlantServer", [&](REFCLSID clsid, IUnknown** out) {
        if (clsid != CLSID_Local) return REGDB_E_CLASSNOTREG;
        product.AddRef();
        *out = &product;
        return S_OK;
    });
    struct Case {
        const char16_t* host;
        const GUID* clsid;
        HRESULT hr;
        HRESULT first, second;
    };
    const Case cases[] = {
        {u"plantserver", &CLSID_Local, CO_S_NOTALLINTERFACES, S_OK, E_NOINTERFACE},
        {u"other", &CLSID_Local, HRESULT_FROM_WIN32(1722), HRESULT_FROM_WIN32(1722),
         HRESULT_FROM_WIN32(1722)},
        {u"PLANTSERVER", &CLSID_Missing, REGDB_E_CLASSNOTREG, REGDB_E_CLASSNOTREG,
         REGDB_E_CLASSNOTREG},
    };
    for (const auto& c : cases) {
        std::u16string host = c.host;
        COSERVERINFO info{0, host.data(), nullptr, 0};
        MULTI_QI qi[2] = {{&IID_IClassFactory, nullptr, 0}, {&IID_IDispatch, nullptr, 0}};
        EXPECT_EQ(CoCreateInstanceEx(*c.clsid, nullptr, CLSCTX_SERVER, &info, 2, qi), c.hr);
        EXPECT_EQ(qi[0].hr, c.first);
        EXPECT_EQ(qi[1].hr, c.second);
        EXPECT_EQ(qi[1].pItf, nullptr);
        if (qi[0].pItf) qi[0].pItf->Release();
    }
    EXPECT_EQ(product.refs, 1u);
    mv::RegisterRemoteHostForTesting(u"PlantServer", {});
}

TEST_F(Activation, ProgIdsAndGuidTextResolve) {
    SetDefault("Mv.Loop\\CurVer", "Mv.Loop");  // a cycle must end
    struct Case {
        const char16_t* text;
        HRESULT hr;
        GUID clsid;
    };
    const Case cases[] = {
        {u"{6F1B2C3D-0001-4A5B-8C7D-112233445566}", S_OK, CLSID_MvTestServer},
        {u"{6f1b2c3d-0001-4a5b-8c7d-112233445566}", S_OK, CLSID_MvTestServer},
        {u"mv.testserver.1", S_OK, CLSID_MvTestServer},
        {u"{6F1B2C3D-0001-4A5B-8C7D-11223344556}", CO_E_CLASSSTRING, CLSID_NULL},
        {u"Mv.Unknown", CO_E_CLASSSTRING, CLSID_NULL},
        {u"Mv.Loop", CO_E_CLASSSTRING, CLSID_NULL},
    };
    for (const auto& c : cases) {
        CLSID clsid = CLSID_Local;
        EXPECT_EQ(CLSIDFromString(c.text, &clsid), c.hr) << mv::ToUtf8(c.text);
        EXPECT_EQ(clsid, c.clsid) << mv::ToUtf8(c.text);
    }
    LPOLESTR progId = nullptr;
    ASSERT_EQ(ProgIDFromCLSID(CLSID_MvTestServer, &progId), S_OK);
    EXPECT_EQ(std::u16string(progId), u"Mv.TestServer.1");
    CoTaskMemFree(progId);
    EXPECT_EQ(ProgIDFromCLSID(CLSID_Missing, &progId), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(progId, nullptr);

    LPOLESTR text = nullptr;
    ASSERT_EQ(StringFromCLSID(CLSID_MvTestServer, &text), S_OK);
    EXPECT_EQ(std::u16string(text), u"{6F1B2C3D-0001-4A5B-8C7D-112233445566}");
    CoTaskMemFree(text);
    OLECHAR buf[39];
    EXPECT_EQ(StringFromGUID2(CLSID_MvTestServer, buf, 39), 39);
    EXPECT_EQ(std::u16string(buf), u"{6F1B2C3D-0001-4A5B-8C7D-112233445566}");
    EXPECT_EQ(StringFromGUID2(CLSID_MvTestServer, buf, 38), 0);
    IID iid;
    EXPECT_EQ(IIDFromString(u"{00020400-0000-0000-C000-000000000046}", &iid), S_OK);
    EXPECT_EQ(iid, IID_IDispatch);
    EXPECT_EQ(IIDFromString(u"IDispatch", &iid), E_INVALIDARG);
}

// Runs `change` on the store in a child process, as another program
// registering or unregistering a class would.
void InAnotherProcess(const std::function<void()>& change) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        change();
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Another process's change is seen within kStoreChangeSeenWithin.
TEST_F(Activation, ActivationSeesClassesAnotherProcessRegisteredOrRemovedWithinTheBound) {
    const std::string key = "CLSID\\" + mv::GuidToString(CLSID_MvTestServer);
    IDispatch* disp = nullptr;
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"Mv.TestServer.1", &clsid), S_OK);
    ASSERT_EQ(Create(CLSID_MvTestServer, &disp), S_OK);
    disp->Release();

    InAnotherProcess([&] {
        EXPECT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, key.c_str()), ERROR_SUCCESS);
        EXPECT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, "Mv.TestServer.1"), ERROR_SUCCESS);
    });
    EXPECT_TRUE(SeenInTime(
        [&] { return CLSIDFromProgID(u"Mv.TestServer.1", &clsid) == CO_E_CLASSSTRING; }));
    EXPECT_TRUE(SeenInTime([&] {
        IDispatch* stale = nullptr;
        const HRESULT hr = Create(CLSID_MvTestServer, &stale);
        if (stale) stale->Release();
        return hr == REGDB_E_CLASSNOTREG;
    }));

    InAnotherProcess([&] { RegisterServer(CLSID_MvTestServer, server_, "Mv.TestServer.1"); });
    EXPECT_TRUE(SeenInTime([&] { return CLSIDFromProgID(u"Mv.TestServer.1", &clsid) == S_OK; }));
    ASSERT_TRUE(SeenInTime([&] { return Create(CLSID_MvTestServer, &disp) == S_OK; }));
    disp->Release();
}

// The watch follows the store when its folder is removed and made again.
TEST_F(Activation, ChangesAreSeenAfterTheStoresFolderWasMadeAgain) {
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"Mv.TestServer.1", &clsid), S_OK);
    const fs::path store = dir_ / "registry.reg";
    std::stringstream text;
    text << std::ifstream(store, std::ios::binary).rdbuf();
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::ofstream(store, std::ios::binary) << text.str();
    EXPECT_TRUE(SeenInTime([&] { return CLSIDFromProgID(u"Mv.TestServer.1", &clsid) == S_OK; }));
    ASSERT_EQ(CLSIDFromProgID(u"Mv.TestServer.1", &clsid), S_OK);  // answered from the cache

    InAnotherProcess(
        [] { EXPECT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, "Mv.TestServer.1"), ERROR_SUCCESS); });
    EXPECT_TRUE(SeenInTime(
        [&] { return CLSIDFromProgID(u"Mv.TestServer.1", &clsid) == CO_E_CLASSSTRING; }));
}

TEST(ActivationInit, TracksEachThreadsMode) {
    struct Step {
        DWORD mode;  // 99: uninitialise
        HRESULT hr;
    };
    const Step steps[] = {
        {COINIT_APARTMENTTHREADED, S_OK},
        {COINIT_APARTMENTTHREADED, S_FALSE},
        {COINIT_MULTITHREADED, RPC_E_CHANGED_MODE},
        {99, S_OK},
        {99, S_OK},
        {COINIT_MULTITHREADED, S_OK},
        {COINIT_APARTMENTTHREADED, RPC_E_CHANGED_MODE},
    };
    for (const auto& s : steps) {
        if (s.mode == 99) {
            CoUninitialize();
        } else {
            EXPECT_EQ(CoInitializeEx(nullptr, s.mode), s.hr);
        }
    }
    CoUninitialize();
}

}  // namespace
