// The formula-library cache: libraries loaded by name from Lib/<name>.mvc
// under the base folder and shared by every calculation, formula reference
// and client; the temporary library (the empty name); and stale-library
// reload, which drops a library whose file changed since it was loaded.
//
// The map in force is the process-wide one until a client switches the
// process to per-thread caches (for good); from then on each thread works
// on its own map. Every map is read and changed under g_CalcCacheLock; the
// file times under g_LibraryTimeLock, which is never held while the cache
// lock is taken. Libraries that leave a map are released after the lock.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "comobj.h"
#include "frame/app_globals.h"
#include "interfaces/IMvCalculation.h"
#include "interfaces/IMvFormulaLibrary.h"

// Set by the first IMvPDCalcEnv::SetPDCalc, never cleared.
extern std::atomic<bool> g_bPerThreadLibraries;
// Set and cleared through the environment's EnableStaleLibraryReload.
extern std::atomic<bool> g_EnableStaleLibraryReload;

// Library generations: how often the library of a name (letter case
// ignored) has been dropped because its file changed. Whatever was taken
// from a library (a map entry, a formula a reference holds) records the
// generation it was taken at, and is outdated once the generation has moved
// on, in every calculation and on every thread; checking it costs one
// atomic load. A drop raises g_LibraryDrops first and then the library's
// generation, so a look-up that reads the count before it starts and finds
// it unchanged when it is done has seen no drop of any library meanwhile.
using MvLibraryGeneration = std::atomic<uint32_t>;
extern MvLibraryGeneration g_LibraryDrops;
// The generation of the library of that name, or null for the names that
// are never dropped as stale (the temporary library's empty name and
// "builtin"). The counter lives as long as the process.
const MvLibraryGeneration* LibraryGeneration(const std::string& name);

// The library of `name` in the map in force, loaded and cached when absent;
// the empty name gives the temporary library (null before one was created).
// A failed load caches nothing and is returned.
HRESULT FindOrLoadLibrary(const std::string& name, IMvFormulaLibrary** out);
HRESULT FindOrLoadLibrary(BSTR name, IMvFormulaLibrary** out);

// The formula of that name in the library of that name.
HRESULT GetFormulaFromLibrary(BSTR library, BSTR formula, IMvCalculation** out);

// Creates a library and loads it from `path`; with stale-library reload on,
// records the time of Lib/<name>.mvc as it was before the load (whether or
// not the load succeeds) and, when `loadTime` is given, hands it out there
// (*hasLoadTime says whether it could be read). Names the loaded library.
HRESULT LoadFormulaLibraryFile(BSTR path, BSTR name, IMvFormulaLibrary** out,
                               bool* hasLoadTime = nullptr, FILETIME* loadTime = nullptr);

// Empties the map in force.
void ClearLibraryMap();

// Drops the calling thread's own map (per-thread caches): empties it and
// forgets it; a later use creates a new one.
void DeleteThreadLibraryMap();

// The per-library operations (removal, the temporary library, file times,
// stale reload, the listing) are static members of CMvCalcEnvironment.

// The names of the library files under the base folder ("Lib/*.mvc",
// matched ignoring case), without ".mvc", appended to `names`.
void GetLibraryList(std::vector<std::string>& names);
