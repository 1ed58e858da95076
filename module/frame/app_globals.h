// Process-wide objects of the module that later parts of it fill: the caches
// of active calculations and formula libraries, the library file times, the
// temporary library, the message-bus adapter, the unit-conversion collection
// and the OPC client's Global Interface Table. Each starts empty or null when
// the module is loaded.
#pragma once

#include <string>
#include <unordered_map>

#include "com.h"
#include "sys.h"

class ActiveCalcObject;
struct IMvFormulaLibrary;
struct IMvObjCollection;

// Calculation name -> holder of the active calculation.
using MvActiveCalcMap = std::unordered_map<std::string, ActiveCalcObject*>;
// Library name -> library; each entry owns one reference.
using MvLibraryMap = std::unordered_map<std::string, IMvFormulaLibrary*>;
// Lower-cased library name -> the library file's last-write time.
using MvLibraryTimeMap = std::unordered_map<std::string, FILETIME>;

// Guarded by g_CalcCacheLock.
extern MvActiveCalcMap g_mapActiveCalcs;
extern MvLibraryMap g_mapLibraries;
// The unnamed formula library, or null; released when the module unloads.
extern IMvFormulaLibrary* g_TemporaryLibrary;
// The message-bus adapter, or null; guarded by g_PublishLock.
extern IDispatch* g_pBusAdapter;
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
// temporary library when set, in that order, and sets them to null. Runs
// after shut-down, before the log and the leak tracker are destroyed; the
// module's static objects release whatever is still set as a last resort.
void MvReleaseProcessObjects();
