// Opens the older client library from its build folder by path.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

namespace kh_test {

inline std::string olderLibraryPath() {
    return std::string(KH_TEST_DLL_DIR) + "/libkeldcore.so";
}

class OlderLibrary {
public:
    OlderLibrary() : handle_(dlopen(olderLibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL)) {}
    ~OlderLibrary() {
        if (handle_) dlclose(handle_);
    }
    OlderLibrary(const OlderLibrary&) = delete;
    OlderLibrary& operator=(const OlderLibrary&) = delete;

    bool loaded() const { return handle_ != nullptr; }
    template <typename Fn>
    Fn get(const char* name) const {
        return reinterpret_cast<Fn>(dlsym(handle_, name));
    }

private:
    void* handle_;
};

}  // namespace kh_test
