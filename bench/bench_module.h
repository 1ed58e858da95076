// What the benchmark programs that drive the module share: ending the
// program on a failed step, and the module registered in a registry store
// of its own under a temporary folder.
#pragma once

#include <errno.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "sys.h"

namespace bench {

// Ends the program with status 2, naming the step, when `ok` is false.
inline void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "%s: %s failed\n", program_invocation_short_name, what);
    std::exit(2);
}

// The build folder: the parent of the program's own bin/ folder.
inline std::filesystem::path BuildFolder() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path();
}

// Makes a fresh folder named after `prefix` under /tmp, with the common
// application-data folder "appdata" in it and pointed at.
inline std::filesystem::path MakeFolder(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    Check(mkdtemp(pattern.data()) != nullptr, "making a folder");
    const std::filesystem::path folder = pattern;
    std::filesystem::create_directories(folder / "appdata");
    setenv("MORVA_COMMON_APPDATA", (folder / "appdata").c_str(), 1);
    return folder;
}

// Switches the registry to the store `registry`, then loads the built
// module and registers it there.
inline HMODULE LoadAndRegisterModule(const std::filesystem::path& registry) {
    mv::RegistryUseFile(registry.string());
    HMODULE module = LoadLibraryA((BuildFolder() / "lib" / "libMvMorvaCalc.so").c_str());
    Check(module != nullptr, "loading the module");
    auto reg = reinterpret_cast<HRESULT (*)()>(GetProcAddress(module, "DllRegisterServer"));
    Check(reg && reg() == S_OK, "registering the module");
    return module;
}

}  // namespace bench
