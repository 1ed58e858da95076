// The world of the tests that load the built module as a client process
// does: the module's file, its exports, a registry store of the test's own,
// and classes made by ProgID through the registry route.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "com.h"
#include "comobj.h"
#include "sys.h"

namespace loadtest {

inline std::string ModulePath() {
    namespace fs = std::filesystem;
    const char* d = std::getenv("MV_TEST_LIB_DIR");
    fs::path dir = d && *d ? fs::path(d)
                           : fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "lib";
    return fs::canonical(dir / "libMvMorvaCalc.so").string();
}

template <class Fn>
Fn Export(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(GetProcAddress(module, name));
}

using HResultFn = HRESULT (*)();

class ModuleLoad : public testing::Test {
protected:
    void SetUp() override {
        registry_ = std::filesystem::path(MV_TEST_BINARY_DIR) /
                    ("load-registry-" + std::to_string(getpid()) + ".reg");
        std::filesystem::remove(registry_);
        mv::RegistryUseFile(registry_.string());
        path_ = ModulePath();
    }
    void TearDown() override {
        mv::RegistryUseFile({});
        std::error_code ec;
        std::filesystem::remove(registry_, ec);
        std::filesystem::remove(registry_.string() + ".lock", ec);
    }

    std::filesystem::path registry_;
    std::string path_;
};

template <class I>
mv::ComPtr<I> Create(const char16_t* progId) {
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(progId, &clsid), S_OK);
    mv::ComPtr<I> object;
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, mv::IidOf<I>::value,
                               object.PutVoid()),
              S_OK);
    return object;
}

}  // namespace loadtest
