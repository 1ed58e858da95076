// Access to the process historian's two client libraries.
//
// keldrin_api is linked into the module and serves remote historian servers
// and the time conversions; InitKeldrinClient and ShutdownKeldrinClient start
// and stop it once per module load.
//
// The older client library ("keldcore.dll") serves the historian database of
// this computer. It is loaded by name on first need (LoadKeldcoreLibrary),
// never at start-up, and only through the module's map of loaded DLLs, which
// also frees it when the module unloads. Every call into it goes through one
// of the guarded L_ wrappers below, which
//   - serialise all calls into the library on g_csKeldcore (re-entrant, so
//     the library may call the shutdown callback from inside a call),
//   - attach the library to the local database when it is not attached,
//   - catch whatever the library throws, and
//   - give a fixed fall-back when the library cannot serve the call:
//       * calls with an error block write ERRORCODE -74 (ERR1 0, ERR2 0) and
//         return -74, so that a caller never reads success from a call that
//         did nothing;
//       * time calls (CALCDELXTM, DSPDT2XTS, GETDBXTIM, XTS2ASCII, XTS2DSPDT,
//         XTS2XUST, XTSPLUSDT, XUST2XTS) run the same-named keldrin_api call
//         instead, so that times are never computed from untouched outputs;
//         when the library throws they write nothing and return -74 (0.0 for
//         CALCDELXTM);
//       * L_ERRMESS gives "Keldrin Not Available." (on an exception "Caught
//         Error while Calling Keldcore API Function.");
//       * the other calls zero the outputs named at each declaration.
// The library cannot serve a call while it is absent (not loaded yet, or the
// load failed), not attached, or lacking the entry point.
//
// Which library a caller uses for a node is the caller's choice: a node is
// local when the older library is loaded (g_hKeldcore non-null) and its name
// equals "localhost" or g_szComputerName, ignoring case.
#pragma once

#include <atomic>

#include "keldcore.h"
#include "sys.h"

// ---- keldrin_api ----------------------------------------------------------

// DaInitialize answered non-zero and DaShutdown has not run since. Read and
// written under the client's start lock.
extern int g_bDaInitialized;

// Starts keldrin_api (DaInitialize(0)) and records whether it started. Never
// fails the caller.
void InitKeldrinClient();
// Stops keldrin_api when it was started; a second call does nothing.
void ShutdownKeldrinClient();
// Starts keldrin_api when it is not started (an environment object's final
// release stops it while other clients still work). Every road that reaches
// a historian server through keldrin_api calls it first. Never fails the
// caller.
void EnsureKeldrinClientStarted();

// ---- the older client library -----------------------------------------------

// The loader has run (set before the load is tried; a failed load is never
// tried again).
extern int g_bKeldcoreLoadTried;
// The older library, or null while it is not loaded. Published after the
// entry points and the computer name are in place.
extern std::atomic<HMODULE> g_hKeldcore;
// This computer's name as the loader read it (at most 15 characters; empty
// when it cannot be read).
extern char g_szComputerName[16];
// Serialises every call into the older library. Usable from process start,
// before anything has loaded the library; never destroyed.
extern CRITICAL_SECTION g_csKeldcore;
// The library is attached to the local database (guarded by g_csKeldcore).
extern int g_bKeldcoreInitialized;

// The 36 entry points, null where the library lacks one (guarded by
// g_csKeldcore).
extern PFN_REFRESHUSERCONTEXT g_pFnREFRESHUSERCONTEXT;
extern PFN_KELDCORE_UNSUPPORTED g_pFnINIKELD;
extern PFN_ENDKELD g_pFnENDKELD;
extern PFN_KELDCORE_UNSUPPORTED g_pFnTS2DSPDT;
extern PFN_KELDCORE_UNSUPPORTED g_pFnDSPDT2TS;
extern PFN_XTS2DSPDT g_pFnXTS2DSPDT;
extern PFN_DSPDT2XTS g_pFnDSPDT2XTS;
extern PFN_DECODNAM g_pFnDECODNAM;
extern PFN_DECODFT g_pFnDECODFT;
extern PFN_DECODRAF g_pFnDECODRAF;
extern PFN_FIELDDEFNINFO g_pFnFIELDDEFNINFO;
extern PFN_MRDBVALS g_pFnMRDBVALS;
extern PFN_MWDBVALS g_pFnMWDBVALS;
extern PFN_XTSPLUSDT g_pFnXTSPLUSDT;
extern PFN_KELDCORE_UNSUPPORTED g_pFnDATE2ASCII;
extern PFN_KELDCORE_UNSUPPORTED g_pFnASCII2DATE;
extern PFN_CALCDELXTM g_pFnCALCDELXTM;
extern PFN_GETDBXTIM g_pFnGETDBXTIM;
extern PFN_XTS2XUST g_pFnXTS2XUST;
extern PFN_XUST2XTS g_pFnXUST2XTS;
extern PFN_KELDCORE_UNSUPPORTED g_pFnFLDINFO;
extern PFN_ERRMESS g_pFnERRMESS;
extern PFN_RHISKDDATA g_pFnRHISKDDATA;
extern PFN_KELDCORE_UNSUPPORTED g_pFnWHISKDDAT;
extern PFN_GETNMFDB_LNAME g_pFnGETNMFDB_LNAME;
extern PFN_KELDCORE_UNSUPPORTED g_pFnRHISKDAGGR;
extern PFN_DEFINID g_pFnDEFINID;
extern PFN_GETRECORDLIST_LNAME g_pFnGETRECORDLIST_LNAME;
extern PFN_KELDCORE_UNSUPPORTED g_pFnKeldrinRegisterShutdownCallback;
extern PFN_KeldrinInit g_pFnKeldrinInit;
extern PFN_DBMAPPED g_pFnDBMAPPED;
extern PFN_DB2SHRT g_pFnDB2SHRT;
extern PFN_XTS2ASCII g_pFnXTS2ASCII;
extern PFN_GETDBVERSION g_pFnGETDBVERSION;
extern PFN_RHISKDINTERPOLATE g_pFnRHISKDINTERPOLATE;
extern PFN_KELDCORE_UNSUPPORTED g_pFnUSTS2ASCII;

// Loads the older library the first time any thread calls it: records the
// computer name, loads "keldcore.dll" through CalcLoadLibrary, looks up the
// entry points and attaches. Later calls return at once; a caller that
// arrives while another thread loads waits until the load is complete.
void LoadKeldcoreLibrary();

// Attaches the library when the database is not mapped yet: DBMAPPED answers
// non-zero, else KeldrinInit(KeldcoreShutdownCallback, 0, 0, 0) decides. A
// DBMAPPED that is missing or throws counts as a database not mapped; a
// KeldrinInit that is missing or throws as a failed attach. The caller holds
// g_csKeldcore.
void EnsureKeldcoreInitialized();

// Handed to KeldrinInit; the library calls it when the local database shuts
// down. Detaches (ENDKELD) so that the next guarded call attaches again.
void KeldcoreShutdownCallback(LONG reason);

// ---- guarded calls (arguments as the entry points of the same name) -------

SHORT L_REFRESHUSERCONTEXT(LONG option, KeldrinErrorBlock* err);
// Not attached, or throws: *major and *minor set to 0 (absent or lacking the
// entry point: left as the caller set them).
SHORT L_GETDBVERSION(KeldrinErrorBlock* err, LONG* major, LONG* minor, char* text, LONG size);
SHORT L_DECODNAM(const char* name, SHORT length, LONG* recordId, KeldrinErrorBlock* err);
SHORT L_DECODFT(const char* name, SHORT length, LONG* fieldId, KeldrinErrorBlock* err);
SHORT L_DECODRAF(const char* text, SHORT length, LONG* recordId, LONG* fieldId,
                 KeldrinErrorBlock* err);
SHORT L_FIELDDEFNINFO(LONG recordId, LONG fieldId, LONG option, void* info, LONG* valueSize,
                      KeldrinErrorBlock* err);
// 0 whenever the library cannot serve the call or throws.
LONG L_DEFINID(LONG recordId);
SHORT L_DB2SHRT(LONG recordId, LONG fieldId, SHORT* value, KeldrinErrorBlock* err);
// Not attached: *length set to 0 (otherwise left alone when not served).
SHORT L_GETNMFDB_LNAME(LONG recordId, LONG fieldId, char* name, SHORT* length);
// Not attached, or throws: *count set to 0.
void L_GETRECORDLIST_LNAME(LONG mode, LONG definitionId, LONG a3, LONG a4, LONG a5,
                           const LONG* search, LONG capacity, LONG* continuation, LONG* records,
                           LONG a10, LONG a11, LONG a12, LONG* count);
SHORT L_MRDBVALS(SHORT count, const KeldrinRecField* pairs, const SHORT* types, void* buffer,
                 SHORT* failIndex, KeldrinErrorBlock* err);
SHORT L_MWDBVALS(SHORT count, const KeldrinRecField* pairs, const SHORT* types, const void* buffer,
                 SHORT* failIndex, KeldrinErrorBlock* err);
SHORT L_RHISKDDATA(LONG mode, LONG flag, LONG a3, LONG recordId, LONG historyKey,
                   const KeldrinUst* begin, const KeldrinUst* end, SHORT fieldCount,
                   const LONG* fields, SHORT* types, LONG maxSamples, SHORT* sampleCodes,
                   KeldrinUst* times, void* const* buffers, LONG* returned, SHORT* more,
                   KeldrinErrorBlock* err);
SHORT L_RHISKDINTERPOLATE(LONG mode, LONG flag, LONG a3, LONG a4, LONG recordId, LONG historyKey,
                          const KeldrinUst* begin, const KeldrinUst* end, const KeldrinUst* period,
                          SHORT fieldCount, const LONG* fields, SHORT* types, LONG maxSamples,
                          SHORT* sampleCodes, KeldrinUst* times, void* const* buffers,
                          LONG* returned, SHORT* more, KeldrinErrorBlock* err);

double L_CALCDELXTM(const KeldrinTime* a, const KeldrinTime* b);
SHORT L_XTSPLUSDT(KeldrinTime* time, const double* tenths);
SHORT L_XTS2DSPDT(const KeldrinTime* time, LONG* day, LONG* tenths);
SHORT L_DSPDT2XTS(LONG day, LONG tenths, KeldrinTime* time);
SHORT L_XTS2XUST(const KeldrinTime* time, KeldrinUst* ust);
SHORT L_XUST2XTS(const KeldrinUst* ust, KeldrinTime* time);
SHORT L_GETDBXTIM(KeldrinTime* time);
// Attaches through KeldrinInit alone when not attached (DBMAPPED is not
// asked).
SHORT L_XTS2ASCII(const KeldrinTime* time, char* text, SHORT width, SHORT* length);

// The texts L_ERRMESS gives when the library cannot serve it or throws.
inline constexpr char kKeldcoreNotAvailableText[] = "Keldrin Not Available.";
inline constexpr char kKeldcoreCaughtErrorText[] =
    "Caught Error while Calling Keldcore API Function.";
// The message of an error block into text: at most 77 characters and a zero
// (text must hold 78 bytes). The fixed texts are written only when both text
// and length are non-null.
void L_ERRMESS(const KeldrinErrorBlock* err, char* text, SHORT* length);

// Forgets the older library as if no loader had run: the load-done flags,
// the handle, the computer name and every entry point (the library itself
// stays in the map of loaded DLLs). Shut-down calls it after the libraries
// were freed, so that a later start-up in the same process loads afresh.
// With no other thread in a wrapper.
void ResetKeldcoreLoader();
