// Helpers of the tests of the map of libraries loaded by name.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unordered_map>

#include "frame/loaded_dlls.h"
#include "log_test_support.h"

namespace dlltest {

inline std::string LibDir() {
    const char* dir = std::getenv("MV_TEST_LIB_DIR");
    return dir ? dir : MV_TEST_LIB_DIR;
}

inline std::string LibraryPath(const char* kind) {
    return LibDir() + "/libmvlogtest_" + kind + ".so";
}

// Whether the system still has the library loaded.
inline bool IsLoaded(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle) dlclose(handle);
    return handle != nullptr;
}

inline size_t MapSize() {
    std::lock_guard lock(g_csLoadedDlls);
    return g_mapLoadedDlls.size();
}

// Hands the library a counter that its DllShutdown increments.
inline void CountShutdowns(HMODULE module, int* counter) {
    auto set = reinterpret_cast<void (*)(int*)>(GetProcAddress(module, "SetShutdownCounter"));
    ASSERT_NE(set, nullptr);
    set(counter);
}

// Sets the libraries that other tests of the process loaded aside, so that
// each test starts from an empty map and unloads only its own libraries.
class LoadedDllsFixture : public logtest::LogFixture {
protected:
    void SetUp() override {
        LogFixture::SetUp();
        std::lock_guard lock(g_csLoadedDlls);
        saved_.swap(g_mapLoadedDlls);
    }
    void TearDown() override {
        CalcUnloadLibrary();
        {
            std::lock_guard lock(g_csLoadedDlls);
            g_mapLoadedDlls.swap(saved_);
        }
        LogFixture::TearDown();
    }

private:
    std::unordered_map<std::string, HMODULE> saved_;
};

}  // namespace dlltest
