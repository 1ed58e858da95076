// The process-wide map of libraries loaded by name for DLL formulas and the
// older historian client library: each name is loaded once and every library
// is shut down and freed when the module unloads.
#pragma once

#include <mutex>
#include <string>
#include <unordered_map>

#include "sys.h"

// Library name exactly as given (letter case counts) to its module handle;
// only successful loads are entered. Guarded by g_csLoadedDlls.
extern std::unordered_map<std::string, HMODULE> g_mapLoadedDlls;
extern std::recursive_mutex g_csLoadedDlls;

// The handle of the library of that name, loaded on its first call (the
// system's usual search, see LoadLibraryA); null when it cannot be loaded,
// and the next call tries again. Concurrent first calls load it once.
HMODULE CalcLoadLibrary(const char* libraryName);

// For every library in the map: calls its "DllShutdown" export when it has
// one, once however many names loaded it, then frees each entry's load; the
// map is left empty. An exception from one
// library's shutdown is logged and the others are still shut down and freed.
void CalcUnloadLibrary();
