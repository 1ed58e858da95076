// Process-wide objects of the module that later parts of it fill: the caches
// of active calculations and formula libraries, the library file times, the
// temporary library, the message-bus adapter, the unit-conversion collection
// and the OPC client's Global Interface Table. Each starts empty or null when
// the module is loaded.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

#include "com.h"
#include "comobj.h"
#include "interfaces/IMvFormulaLibrary.h"
#include "sys.h"

class ActiveCalcObject;
struct IMvAdapterControl;
struct IMvObjCollection;

// Calculation name -> holder of the active calculation. Holders are counted:
// a calculation reference keeps a share across a clearing of the map.
using MvActiveCalcMap = std::unordered_map<std::string, std::shared_ptr<ActiveCalcObject>>;
// One library of a library map, with the file time it was loaded with when
// stale-library reload was on at its load, and the generation of its name
// (how often a library of that name had been dropped as stale) at its load:
// an entry whose generation has moved on holds an outdated library.
struct MvLibraryEntry {
    mv::ComPtr<IMvFormulaLibrary> Library;
    bool HasLoadTime = false;
    FILETIME LoadTime{};
    const std::atomic<uint32_t>* Generation = nullptr;  // none: never dropped as stale
    uint32_t LoadedGeneration = 0;
};
// Library name -> library.
using MvLibraryMap = std::unordered_map<std::string, MvLibraryEntry>;
// Lower-cased library name -> the library file's last-write time.
using MvLibraryTimeMap = std::unordered_map<std::string, FILETIME>;

// Guarded by g_CalcCacheLock.
extern MvActiveCalcMap g_mapActiveCalcs;
extern MvLibraryMap g_mapLibraries;
// Every thread's own library map once per-thread library caches are on; a
// thread's slot g_tlsLibraryMap points at its element.
extern std::list<MvLibraryMap> g_threadLibraryMaps;
// The unnamed formula library, or null; released when the module unloads.
extern IMvFormulaLibrary* g_TemporaryLibrary;
// The message-bus adapter, or null; guarded by g_PublishLock.
extern IMvAdapterControl* g_pBusAdapter;
// Guarded by g_LibraryTimeLock; emptied at shut-down.
extern MvLibraryTimeMap g_mapLibraryModifiedTimes;
// The unit types read from the conversions file; one counted reference or
// null. Cleared at start-up.
extern IMvObjCollection* g_UnitConvColl;
// The OPC client's Global Interface Table and the lock that guards it; the
// lock is usable from load to unload.
extern CRITICAL_SECTION g_csOpcGIT;
extern IGlobalInterfaceTable* g_pGIT;

// Releases the Global Interface Table, the message-bus adapter and the
// temporary library when set, in that order, and sets them to null; then
// empties the caches of calculations and libraries. Runs
// after shut-down, before the log and the leak tracker are destroyed; the
// module's static objects release whatever is still set as a last resort.
void MvReleaseProcessObjects();
