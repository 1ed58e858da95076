// The map of libraries loaded by name.
#include "frame/loaded_dlls.h"

#include <string_view>

#include "frame/trace.h"

std::unordered_map<std::string, HMODULE> g_mapLoadedDlls;
std::recursive_mutex g_csLoadedDlls;

namespace {

using ShutdownFunction = void (*)();

}  // namespace

HMODULE CalcLoadLibrary(const char* libraryName) {
    HMODULE module = nullptr;
    try {
        // An empty name would name the host program itself.
        if (!libraryName || !*libraryName) return nullptr;
        std::lock_guard lock(g_csLoadedDlls);
        const std::string name(libraryName);
        auto found = g_mapLoadedDlls.find(name);
        if (found != g_mapLoadedDlls.end()) return found->second;
        module = LoadLibraryA(name.c_str());
        if (module) g_mapLoadedDlls.emplace(name, module);
        return module;
    } catch (...) {
        MvLogErrorHr("CalcLoadLibrary", E_UNEXPECTED);
        return module;
    }
}

void CalcUnloadLibrary() {
    std::unordered_map<std::string, HMODULE> loaded;
    try {
        std::lock_guard lock(g_csLoadedDlls);
        loaded.swap(g_mapLoadedDlls);
    } catch (...) {
        MvLogErrorHr("CalcUnloadLibrary", E_UNEXPECTED);
        return;
    }
    // The map is taken out first, so that a shutdown that loads a library
    // cannot change it while it is walked. Each entry is one load and is
    // freed once; names that differ in letter case share one handle, whose
    // shutdown runs once, before the entry that frees it last.
    std::unordered_map<HMODULE, int> loads;
    for (const auto& entry : loaded)
        if (entry.second) ++loads[entry.second];
    for (const auto& [name, module] : loaded) {
        if (!module) continue;
        if (--loads[module] == 0) {
            try {
                auto shutdown =
                    reinterpret_cast<ShutdownFunction>(GetProcAddress(module, "DllShutdown"));
                if (shutdown) shutdown();
            } catch (...) {
                MvLogErrorHr("CalcUnloadLibrary", E_UNEXPECTED);
            }
        }
        FreeLibrary(module);
    }
}
