// Entry points of the historian's older client library, loaded by name as
// "keldcore.dll" (built as libkeldcore.so). It serves the historian database
// of this computer with the calls of keldrin_api, same names and arguments,
// plus the attach calls below. Callers look the entry points up by name and
// call them through these pointer types.
#pragma once

#include "keldrin_api.h"

extern "C" {

// Called by the library when the local database shuts down; the argument is
// a reason code.
typedef void (*PFN_KeldcoreShutdownCallback)(LONG reason);

// Non-zero while the local database is mapped into this process.
typedef LONG (*PFN_DBMAPPED)(void);
// Attaches to the local database; non-zero on success. The callback is
// remembered and called when the database shuts down.
typedef LONG (*PFN_KeldrinInit)(PFN_KeldcoreShutdownCallback callback, LONG a2, LONG a3, LONG a4);
// Detaches from the local database.
typedef void (*PFN_ENDKELD)(void);
// Entry points offered for completeness that answer KELDRIN_E_NOTSUPPORTED:
// INIKELD, TS2DSPDT, DSPDT2TS, DATE2ASCII, ASCII2DATE, FLDINFO, WHISKDDAT,
// RHISKDAGGR, KeldrinRegisterShutdownCallback, USTS2ASCII.
typedef LONG (*PFN_KELDCORE_UNSUPPORTED)(void);

typedef decltype(&REFRESHUSERCONTEXT) PFN_REFRESHUSERCONTEXT;
typedef decltype(&XTS2DSPDT) PFN_XTS2DSPDT;
typedef decltype(&DSPDT2XTS) PFN_DSPDT2XTS;
typedef decltype(&DECODNAM) PFN_DECODNAM;
typedef decltype(&DECODFT) PFN_DECODFT;
typedef decltype(&DECODRAF) PFN_DECODRAF;
typedef decltype(&FIELDDEFNINFO) PFN_FIELDDEFNINFO;
typedef decltype(&MRDBVALS) PFN_MRDBVALS;
typedef decltype(&MWDBVALS) PFN_MWDBVALS;
typedef decltype(&XTSPLUSDT) PFN_XTSPLUSDT;
typedef decltype(&CALCDELXTM) PFN_CALCDELXTM;
typedef decltype(&GETDBXTIM) PFN_GETDBXTIM;
typedef decltype(&XTS2XUST) PFN_XTS2XUST;
typedef decltype(&XUST2XTS) PFN_XUST2XTS;
typedef decltype(&ERRMESS) PFN_ERRMESS;
typedef decltype(&RHISKDDATA) PFN_RHISKDDATA;
typedef decltype(&GETNMFDB_LNAME) PFN_GETNMFDB_LNAME;
typedef decltype(&DEFINID) PFN_DEFINID;
typedef decltype(&GETRECORDLIST_LNAME) PFN_GETRECORDLIST_LNAME;
typedef decltype(&DB2SHRT) PFN_DB2SHRT;
typedef decltype(&XTS2ASCII) PFN_XTS2ASCII;
typedef decltype(&GETDBVERSION) PFN_GETDBVERSION;
typedef decltype(&RHISKDINTERPOLATE) PFN_RHISKDINTERPOLATE;

}  // extern "C"
