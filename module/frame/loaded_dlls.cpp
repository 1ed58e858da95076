// The map of libraries loaded by name.
#include "frame/loaded_dlls.h"

std::unordered_map<std::string, HMODULE> g_mapLoadedDlls;
std::recursive_mutex g_csLoadedDlls;

HMODULE CalcLoadLibrary(const char*) {
    return nullptr;
}

void CalcUnloadLibrary() {}
