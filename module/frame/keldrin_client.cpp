// Start and stop of keldrin_api, the loader of the older client library and
// its guarded calls. See keldrin_client.h.
#include "frame/keldrin_client.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "frame/diagnostic_log.h"
#include "frame/loaded_dlls.h"

// ---- keldrin_api ----------------------------------------------------------

int g_bDaInitialized = 0;

namespace {

// The client's start lock: a leaf, held across DaInitialize and DaShutdown.
std::mutex& ClientStartLock() {
    static std::mutex lock;
    return lock;
}

// A copy of g_bDaInitialized that runs read without the start lock: every
// run asks whether the client is started, and the lock would make runs on
// separate threads wait for each other. Written under the lock with it.
std::atomic<bool> g_started{false};

void SetStarted(int started) {
    g_bDaInitialized = started;
    g_started.store(started != 0, std::memory_order_release);
}

}  // namespace

void InitKeldrinClient() {
    std::lock_guard guard(ClientStartLock());
    SetStarted(DaInitialize(0) != 0 ? 1 : 0);
}

void ShutdownKeldrinClient() {
    std::lock_guard guard(ClientStartLock());
    if (!g_bDaInitialized) return;
    DaShutdown();
    SetStarted(0);
}

void EnsureKeldrinClientStarted() {
    if (g_started.load(std::memory_order_acquire)) return;
    std::lock_guard guard(ClientStartLock());
    if (!g_bDaInitialized) SetStarted(DaInitialize(0) != 0 ? 1 : 0);
}

// ---- the older client library -----------------------------------------------

int g_bKeldcoreLoadTried = 0;
std::atomic<HMODULE> g_hKeldcore{nullptr};
char g_szComputerName[16] = {};
// Constant-initialised, so that it works before any constructor of the
// module has run, and never destroyed, so that it outlives every caller.
CRITICAL_SECTION g_csKeldcore = {PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP};
int g_bKeldcoreInitialized = 0;

PFN_REFRESHUSERCONTEXT g_pFnREFRESHUSERCONTEXT = nullptr;
PFN_KELDCORE_UNSUPPORTED g_pFnINIKELD = nullptr;
PFN_ENDKELD g_pFnENDKELD = nullptr;
PFN_KELDCORE_UNSUPPORTED g_pFnTS2DSPDT = nullptr;
PFN_KELDCORE_UNSUPPORTED g_pFnDSPDT2TS = nullptr;
PFN_XTS2DSPDT g_pFnXTS2DSPDT = nullptr;
PFN_DSPDT2XTS g_pFnDSPDT2XTS = nullptr;
PFN_DECODNAM g_pFnDECODNAM = nullptr;
PFN_DECODFT g_pFnDECODFT = nullptr;
PFN_DECODRAF g_pFnDECODRAF = nullptr;
PFN_FIELDDEFNINFO g_pFnFIELDDEFNINFO = nullptr;
PFN_MRDBVALS g_pFnMRDBVALS = nullptr;
PFN_MWDBVALS g_pFnMWDBVALS = nullptr;
PFN_XTSPLUSDT g_pFnXTSPLUSDT = nullptr;
PFN_KELDCORE_UNSUPPORTED g_pFnDATE2ASCII = nullptr;
PFN_KELDCORE_UNSUPPORTED g_pFnASCII2DATE = nullptr;
PFN_CALCDELXTM g_pFnCALCDELXTM = nullptr;
PFN_GETDBXTIM g_pFnGETDBXTIM = nullptr;
PFN_XTS2XUST g_pFnXTS2XUST = nullptr;
PFN_XUST2XTS g_pFnXUST2XTS = nullptr;
PFN_KELDCORE_UNSUPPORTED g_pFnFLDINFO = nullptr;
PFN_ERRMESS g_pFnERRMESS = nullptr;
PFN_RHISKDDATA g_pFnRHISKDDATA = nullptr;
PFN_KELDCORE_UNSUPPORTED g_pFnWHISKDDAT = nullptr;
PFN_GETNMFDB_LNAME g_pFnGETNMFDB_LNAME = nullptr;
PFN_KELDCORE_UNSUPPORTED g_pFnRHISKDAGGR = nullptr;
PFN_DEFINID g_pFnDEFINID = nullptr;
PFN_GETRECORDLIST_LNAME g_pFnGETRECORDLIST_LNAME = nullptr;
PFN_KELDCORE_UNSUPPORTED g_pFnKeldrinRegisterShutdownCallback = nullptr;
PFN_KeldrinInit g_pFnKeldrinInit = nullptr;
PFN_DBMAPPED g_pFnDBMAPPED = nullptr;
PFN_DB2SHRT g_pFnDB2SHRT = nullptr;
PFN_XTS2ASCII g_pFnXTS2ASCII = nullptr;
PFN_GETDBVERSION g_pFnGETDBVERSION = nullptr;
PFN_RHISKDINTERPOLATE g_pFnRHISKDINTERPOLATE = nullptr;
PFN_KELDCORE_UNSUPPORTED g_pFnUSTS2ASCII = nullptr;

namespace {

// Serialises the one-time load: a second caller waits here until the first
// has published the library (or given up), so it never sees a half-filled
// table. g_loadDone lets later calls return without taking it.
std::mutex g_loadMutex;
std::atomic<bool> g_loadDone{false};

template <class Fn>
void LookUp(HMODULE module, Fn& slot, const char* name) {
    slot = reinterpret_cast<Fn>(GetProcAddress(module, name));
}

// Every entry point, in the order the loader looks them up.
void LookUpEntryPoints(HMODULE m) {
    LookUp(m, g_pFnREFRESHUSERCONTEXT, "REFRESHUSERCONTEXT");
    LookUp(m, g_pFnINIKELD, "INIKELD");
    LookUp(m, g_pFnENDKELD, "ENDKELD");
    LookUp(m, g_pFnTS2DSPDT, "TS2DSPDT");
    LookUp(m, g_pFnDSPDT2TS, "DSPDT2TS");
    LookUp(m, g_pFnXTS2DSPDT, "XTS2DSPDT");
    LookUp(m, g_pFnDSPDT2XTS, "DSPDT2XTS");
    LookUp(m, g_pFnDECODNAM, "DECODNAM");
    LookUp(m, g_pFnDECODFT, "DECODFT");
    LookUp(m, g_pFnDECODRAF, "DECODRAF");
    LookUp(m, g_pFnFIELDDEFNINFO, "FIELDDEFNINFO");
    LookUp(m, g_pFnMRDBVALS, "MRDBVALS");
    LookUp(m, g_pFnMWDBVALS, "MWDBVALS");
    LookUp(m, g_pFnXTSPLUSDT, "XTSPLUSDT");
    LookUp(m, g_pFnDATE2ASCII, "DATE2ASCII");
    LookUp(m, g_pFnASCII2DATE, "ASCII2DATE");
    LookUp(m, g_pFnCALCDELXTM, "CALCDELXTM");
    LookUp(m, g_pFnGETDBXTIM, "GETDBXTIM");
    LookUp(m, g_pFnXTS2XUST, "XTS2XUST");
    LookUp(m, g_pFnXUST2XTS, "XUST2XTS");
    LookUp(m, g_pFnFLDINFO, "FLDINFO");
    LookUp(m, g_pFnERRMESS, "ERRMESS");
    LookUp(m, g_pFnRHISKDDATA, "RHISKDDATA");
    LookUp(m, g_pFnWHISKDDAT, "WHISKDDAT");
    LookUp(m, g_pFnGETNMFDB_LNAME, "GETNMFDB_LNAME");
    LookUp(m, g_pFnRHISKDAGGR, "RHISKDAGGR");
    LookUp(m, g_pFnDEFINID, "DEFINID");
    LookUp(m, g_pFnGETRECORDLIST_LNAME, "GETRECORDLIST_LNAME");
    LookUp(m, g_pFnKeldrinRegisterShutdownCallback, "KeldrinRegisterShutdownCallback");
    LookUp(m, g_pFnKeldrinInit, "KeldrinInit");
    LookUp(m, g_pFnDBMAPPED, "DBMAPPED");
    LookUp(m, g_pFnDB2SHRT, "DB2SHRT");
    LookUp(m, g_pFnXTS2ASCII, "XTS2ASCII");
    LookUp(m, g_pFnGETDBVERSION, "GETDBVERSION");
    LookUp(m, g_pFnRHISKDINTERPOLATE, "RHISKDINTERPOLATE");
    LookUp(m, g_pFnUSTS2ASCII, "USTS2ASCII");
}

// Attaches through KeldrinInit alone; the caller holds g_csKeldcore.
void AttachThroughInit() {
    LONG attached = 0;
    try {
        if (g_pFnKeldrinInit) attached = g_pFnKeldrinInit(KeldcoreShutdownCallback, 0, 0, 0);
    } catch (...) {
        attached = 0;
    }
    g_bKeldcoreInitialized = attached;
}

}  // namespace

void EnsureKeldcoreInitialized() {
    LONG mapped = 0;
    try {
        if (g_pFnDBMAPPED) mapped = g_pFnDBMAPPED();
    } catch (...) {
        mapped = 0;
    }
    if (mapped) {
        g_bKeldcoreInitialized = 1;
        return;
    }
    AttachThroughInit();
}

void KeldcoreShutdownCallback(LONG) {
    mv::CriticalSectionLock lock(g_csKeldcore);
    if (g_hKeldcore.load(std::memory_order_relaxed) && g_pFnENDKELD) {
        try {
            g_pFnENDKELD();
        } catch (...) {
        }
    }
    g_bKeldcoreInitialized = 0;
}

void LoadKeldcoreLibrary() {
    if (g_loadDone.load(std::memory_order_acquire)) return;
    std::lock_guard guard(g_loadMutex);
    if (g_bKeldcoreLoadTried) return;
    g_bKeldcoreLoadTried = 1;

    char name[sizeof(g_szComputerName)] = {};
    DWORD size = sizeof(name);
    if (!GetComputerNameA(name, &size)) name[0] = '\0';
    std::memcpy(g_szComputerName, name, sizeof(name));

    // Loaded outside g_csKeldcore: the loader may run the library's own
    // start-up, which must not find the lock taken by this thread.
    HMODULE module = CalcLoadLibrary("keldcore.dll");
    if (module) {
        mv::CriticalSectionLock lock(g_csKeldcore);
        LookUpEntryPoints(module);
        g_hKeldcore.store(module, std::memory_order_release);
        EnsureKeldcoreInitialized();
    }
    g_loadDone.store(true, std::memory_order_release);
}

void ResetKeldcoreLoader() {
    std::lock_guard guard(g_loadMutex);
    mv::CriticalSectionLock lock(g_csKeldcore);
    g_loadDone.store(false, std::memory_order_release);
    g_bKeldcoreLoadTried = 0;
    g_hKeldcore.store(nullptr, std::memory_order_release);
    std::memset(g_szComputerName, 0, sizeof(g_szComputerName));
    g_bKeldcoreInitialized = 0;
    LookUpEntryPoints(nullptr);
}

// ---- guarded calls ----------------------------------------------------------

namespace {

// Why the older library did not run a call.
enum class Unserved { Absent, NotAttached, Missing };

// How a call makes sure the library is attached.
enum class Attach { Check, InitOnly };

// The one frame of every guarded call: under g_csKeldcore, calls `call` with
// the entry point when the library is loaded, attached and has it, else
// `unserved` with the reason; whatever the library throws gives `onThrow`.
template <class Fn, class Call, class UnservedFn, class OnThrow>
auto Guarded(Fn& entry, Call call, UnservedFn unserved, OnThrow onThrow,
             Attach attach = Attach::Check) {
    // Without the library there is nothing to guard: the lock would only make
    // the time conversions of runs on separate threads wait for each other.
    if (!g_hKeldcore.load(std::memory_order_acquire)) return unserved(Unserved::Absent);
    mv::CriticalSectionLock lock(g_csKeldcore);
    if (!g_hKeldcore.load(std::memory_order_relaxed)) return unserved(Unserved::Absent);
    if (attach == Attach::Check)
        EnsureKeldcoreInitialized();
    else if (!g_bKeldcoreInitialized)
        AttachThroughInit();
    if (!g_bKeldcoreInitialized) return unserved(Unserved::NotAttached);
    Fn fn = entry;
    if (!fn) return unserved(Unserved::Missing);
    try {
        return call(fn);
    } catch (...) {
        return onThrow();
    }
}

SHORT NotAvailable(KeldrinErrorBlock* err) {
    if (err) {
        err->ERRORCODE = KELDRIN_E_NOTAVAILABLE;
        err->ERR1 = 0;
        err->ERR2 = 0;
    }
    return KELDRIN_E_NOTAVAILABLE;
}

// A call whose last argument is the error block: -74 in the block whenever
// the library cannot serve it or throws.
template <class Fn, class... Args>
SHORT ErrorBlockCall(Fn& entry, KeldrinErrorBlock* err, Args... args) {
    return Guarded(
        entry, [&](Fn fn) { return fn(args..., err); }, [&](Unserved) { return NotAvailable(err); },
        [&] { return NotAvailable(err); });
}

// A time call: keldrin_api's own call whenever the library cannot serve it;
// `thrown` is the result when the library throws (nothing is written).
template <class Fn, class Api, class Result, class... Args>
Result TimeCall(Fn& entry, Api* api, Result thrown, Attach attach, Args... args) {
    return Guarded(
        entry, [&](Fn fn) -> Result { return fn(args...); },
        [&](Unserved) -> Result { return api(args...); }, [&]() -> Result { return thrown; },
        attach);
}

// A time call returning an error code.
template <class Fn, class Api, class... Args>
SHORT TimeCodeCall(Fn& entry, Api* api, Args... args) {
    return TimeCall(entry, api, SHORT{KELDRIN_E_NOTAVAILABLE}, Attach::Check, args...);
}

void CopyFixedText(const char* fixed, char* text, SHORT* length) {
    if (!text || !length) return;
    size_t n = std::strlen(fixed);
    std::memcpy(text, fixed, n + 1);
    *length = static_cast<SHORT>(n);
}

}  // namespace

SHORT L_REFRESHUSERCONTEXT(LONG option, KeldrinErrorBlock* err) {
    return Guarded(
        g_pFnREFRESHUSERCONTEXT, [&](PFN_REFRESHUSERCONTEXT fn) { return fn(option, err); },
        [&](Unserved) { return NotAvailable(err); },
        [&] {
            g_DiagnosticLog.WriteLine(u"L_REFRESHUSERCONTEXT", CDiagnosticLog::HResultText(E_FAIL));
            char detail[200];
            std::snprintf(detail, sizeof(detail),
                          "L_REFRESHUSERCONTEXT : caught exception after g_pFnREFRESHUSERCONTEXT "
                          "ERRORCODE = %d ERR1 = %d ERR2 = %d",
                          err ? err->ERRORCODE : 0, err ? err->ERR1 : 0, err ? err->ERR2 : 0);
            g_DiagnosticLog.WriteLineA(u"L_REFRESHUSERCONTEXT", detail);
            return NotAvailable(err);
        });
}

SHORT L_GETDBVERSION(KeldrinErrorBlock* err, LONG* major, LONG* minor, char* text, LONG size) {
    auto zeroVersion = [&] {
        if (major) *major = 0;
        if (minor) *minor = 0;
        return SHORT{0};
    };
    return Guarded(
        g_pFnGETDBVERSION, [&](PFN_GETDBVERSION fn) { return fn(err, major, minor, text, size); },
        [&](Unserved why) { return why == Unserved::NotAttached ? zeroVersion() : SHORT{0}; },
        zeroVersion);
}

SHORT L_DECODNAM(const char* name, SHORT length, LONG* recordId, KeldrinErrorBlock* err) {
    return ErrorBlockCall(g_pFnDECODNAM, err, name, length, recordId);
}

SHORT L_DECODFT(const char* name, SHORT length, LONG* fieldId, KeldrinErrorBlock* err) {
    return ErrorBlockCall(g_pFnDECODFT, err, name, length, fieldId);
}

SHORT L_DECODRAF(const char* text, SHORT length, LONG* recordId, LONG* fieldId,
                 KeldrinErrorBlock* err) {
    return ErrorBlockCall(g_pFnDECODRAF, err, text, length, recordId, fieldId);
}

SHORT L_FIELDDEFNINFO(LONG recordId, LONG fieldId, LONG option, void* info, LONG* valueSize,
                      KeldrinErrorBlock* err) {
    return ErrorBlockCall(g_pFnFIELDDEFNINFO, err, recordId, fieldId, option, info, valueSize);
}

LONG L_DEFINID(LONG recordId) {
    return Guarded(
        g_pFnDEFINID, [&](PFN_DEFINID fn) { return fn(recordId); },
        [](Unserved) { return LONG{0}; }, [] { return LONG{0}; });
}

SHORT L_DB2SHRT(LONG recordId, LONG fieldId, SHORT* value, KeldrinErrorBlock* err) {
    return ErrorBlockCall(g_pFnDB2SHRT, err, recordId, fieldId, value);
}

SHORT L_GETNMFDB_LNAME(LONG recordId, LONG fieldId, char* name, SHORT* length) {
    return Guarded(
        g_pFnGETNMFDB_LNAME,
        [&](PFN_GETNMFDB_LNAME fn) { return fn(recordId, fieldId, name, length); },
        [&](Unserved why) {
            if (why == Unserved::NotAttached && length) *length = 0;
            return SHORT{0};
        },
        [] { return SHORT{0}; });
}

void L_GETRECORDLIST_LNAME(LONG mode, LONG definitionId, LONG a3, LONG a4, LONG a5,
                           const LONG* search, LONG capacity, LONG* continuation, LONG* records,
                           LONG a10, LONG a11, LONG a12, LONG* count) {
    auto zeroCount = [&] {
        if (count) *count = 0;
    };
    Guarded(
        g_pFnGETRECORDLIST_LNAME,
        [&](PFN_GETRECORDLIST_LNAME fn) {
            fn(mode, definitionId, a3, a4, a5, search, capacity, continuation, records, a10, a11,
               a12, count);
        },
        [&](Unserved why) {
            if (why == Unserved::NotAttached) zeroCount();
        },
        zeroCount);
}

SHORT L_MRDBVALS(SHORT count, const KeldrinRecField* pairs, const SHORT* types, void* buffer,
                 SHORT* failIndex, KeldrinErrorBlock* err) {
    return ErrorBlockCall(g_pFnMRDBVALS, err, count, pairs, types, buffer, failIndex);
}

SHORT L_MWDBVALS(SHORT count, const KeldrinRecField* pairs, const SHORT* types, const void* buffer,
                 SHORT* failIndex, KeldrinErrorBlock* err) {
    return ErrorBlockCall(g_pFnMWDBVALS, err, count, pairs, types, buffer, failIndex);
}

SHORT L_RHISKDDATA(LONG mode, LONG flag, LONG a3, LONG recordId, LONG historyKey,
                   const KeldrinUst* begin, const KeldrinUst* end, SHORT fieldCount,
                   const LONG* fields, SHORT* types, LONG maxSamples, SHORT* sampleCodes,
                   KeldrinUst* times, void* const* buffers, LONG* returned, SHORT* more,
                   KeldrinErrorBlock* err) {
    return ErrorBlockCall(g_pFnRHISKDDATA, err, mode, flag, a3, recordId, historyKey, begin, end,
                          fieldCount, fields, types, maxSamples, sampleCodes, times, buffers,
                          returned, more);
}

SHORT L_RHISKDINTERPOLATE(LONG mode, LONG flag, LONG a3, LONG a4, LONG recordId, LONG historyKey,
                          const KeldrinUst* begin, const KeldrinUst* end, const KeldrinUst* period,
                          SHORT fieldCount, const LONG* fields, SHORT* types, LONG maxSamples,
                          SHORT* sampleCodes, KeldrinUst* times, void* const* buffers,
                          LONG* returned, SHORT* more, KeldrinErrorBlock* err) {
    return ErrorBlockCall(g_pFnRHISKDINTERPOLATE, err, mode, flag, a3, a4, recordId, historyKey,
                          begin, end, period, fieldCount, fields, types, maxSamples, sampleCodes,
                          times, buffers, returned, more);
}

double L_CALCDELXTM(const KeldrinTime* a, const KeldrinTime* b) {
    return TimeCall(g_pFnCALCDELXTM, &CALCDELXTM, 0.0, Attach::Check, a, b);
}

SHORT L_XTSPLUSDT(KeldrinTime* time, const double* tenths) {
    return TimeCodeCall(g_pFnXTSPLUSDT, &XTSPLUSDT, time, tenths);
}

SHORT L_XTS2DSPDT(const KeldrinTime* time, LONG* day, LONG* tenths) {
    return TimeCodeCall(g_pFnXTS2DSPDT, &XTS2DSPDT, time, day, tenths);
}

SHORT L_DSPDT2XTS(LONG day, LONG tenths, KeldrinTime* time) {
    return TimeCodeCall(g_pFnDSPDT2XTS, &DSPDT2XTS, day, tenths, time);
}

SHORT L_XTS2XUST(const KeldrinTime* time, KeldrinUst* ust) {
    return TimeCodeCall(g_pFnXTS2XUST, &XTS2XUST, time, ust);
}

SHORT L_XUST2XTS(const KeldrinUst* ust, KeldrinTime* time) {
    return TimeCodeCall(g_pFnXUST2XTS, &XUST2XTS, ust, time);
}

SHORT L_GETDBXTIM(KeldrinTime* time) {
    return TimeCodeCall(g_pFnGETDBXTIM, &GETDBXTIM, time);
}

SHORT L_XTS2ASCII(const KeldrinTime* time, char* text, SHORT width, SHORT* length) {
    return TimeCall(g_pFnXTS2ASCII, &XTS2ASCII, SHORT{KELDRIN_E_NOTAVAILABLE}, Attach::InitOnly,
                    time, text, width, length);
}

void L_ERRMESS(const KeldrinErrorBlock* err, char* text, SHORT* length) {
    Guarded(
        g_pFnERRMESS, [&](PFN_ERRMESS fn) { fn(err, text, length); },
        [&](Unserved) { CopyFixedText(kKeldcoreNotAvailableText, text, length); },
        [&] { CopyFixedText(kKeldcoreCaughtErrorText, text, length); });
}
