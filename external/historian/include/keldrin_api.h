// Client library of the process historian (`libkeldrin_api.so`).
//
// Every call goes to the historian server that the calling thread selected
// last with DaSelectServer or DaSetDefaultServer; the selection is kept per
// thread. The time calls need no server.
//
// Conventions of the upper-case calls:
// - Inputs are passed by value, outputs through pointers. A call with an
//   error block fills it (ERRORCODE 0 on success) and also returns the code.
// - Names come with their length in bytes: the text must hold exactly that
//   many characters before its terminating zero; trailing blanks are ignored
//   and names compare without regard to ASCII letter case.
// - Record identifiers may carry a server index in bits 21 to 30
//   (DaEmbedServerIndex); the calls look records up by bits 0 to 20.
// - A character descriptor in a value buffer is {32-bit offset of the
//   characters from the start of the buffer handed to the call, 16-bit
//   length}; this port carries that offset where the layout once held a
//   32-bit pointer.
#pragma once

#include <cstddef>

#include "base.h"

extern "C" {

// The 12-byte error block that the calls fill.
struct KeldrinErrorBlock {
    SHORT ERRORCODE;  // 0 for success
    SHORT Reserved;   // padding, never written
    LONG ERR1;        // first detail word
    LONG ERR2;        // second detail word
};
static_assert(sizeof(KeldrinErrorBlock) == 12);
static_assert(offsetof(KeldrinErrorBlock, ERR1) == 4 && offsetof(KeldrinErrorBlock, ERR2) == 8);

// Historian time: seconds since 1970-01-01 00:00 UTC as an unsigned count,
// and microseconds (0 to 999,999). Both words all ones means "no time"; no
// valid time has a first word of all ones.
struct KeldrinTime {
    ULONG Seconds;
    ULONG Micro;
};
static_assert(sizeof(KeldrinTime) == 8);
constexpr ULONG KELDRIN_TIME_NONE_WORD = 0xFFFFFFFFu;

// Microsecond time: the same instant as seconds and microseconds since 1970.
// Seconds is an unsigned count here as well, so that times after 2038 pass.
struct KeldrinUst {
    ULONG Seconds;
    LONG Micro;
};
static_assert(sizeof(KeldrinUst) == 8);

// One entry of a batched read or write.
struct KeldrinRecField {
    LONG RecordId;
    LONG FieldId;
};
static_assert(sizeof(KeldrinRecField) == 8);

// Error codes (ERRORCODE). ERR1 and ERR2 carry the record identifier and the
// field tag where a record or field is concerned.
enum : SHORT {
    KELDRIN_OK = 0,
    KELDRIN_E_BADARG = -1,         // null pointer, bad count or bad length
    KELDRIN_E_NORECORD = -2,       // unknown record name or identifier
    KELDRIN_E_NOFIELD = -3,        // unknown field name or tag
    KELDRIN_E_TYPE = -4,           // the requested type does not suit the field
    KELDRIN_E_NOSERVER = -5,       // unknown node, alias or server index
    KELDRIN_E_NOTSELECTED = -6,    // this thread selected no server
    KELDRIN_E_BADTIME = -7,        // no time, or a time out of range
    KELDRIN_E_RANGE = -8,          // a value does not fit the field
    KELDRIN_E_VERSION = -9,        // the server's version lacks the call
    KELDRIN_E_BADMODE = -10,       // unknown mode of a history read
    KELDRIN_E_NOTSUPPORTED = -11,  // call not offered by this library
    KELDRIN_E_NOTSTARTED = -12,    // keldrin_api is shut down (DaShutdown without DaInitialize)
    KELDRIN_E_NOTAVAILABLE = -74,  // the older client library is not available
};

// Value classes of RSPECTYP/DSPECTYP; RSPECGET/DSPECGET give the special
// value of classes 0 to 2.
enum : SHORT {
    KELDRIN_CLASS_NOVALUE = 0,
    KELDRIN_CLASS_BAD = 1,
    KELDRIN_CLASS_OVERRANGE = 2,
    KELDRIN_CLASS_NUMBER = 3,
};

// Field-information record of FIELDDEFNINFO: KELDRIN_FIELDINFO_SIZE bytes,
// 32-bit words and 16-bit words at these byte offsets.
constexpr int KELDRIN_FIELDINFO_SIZE = 48;
constexpr int KELDRIN_FI_RECORD = 0;        // LONG record identifier
constexpr int KELDRIN_FI_FIELD = 4;         // LONG field tag
constexpr int KELDRIN_FI_DEFINITION = 8;    // LONG definition record
constexpr int KELDRIN_FI_VALUESIZE = 16;    // LONG bytes of one value
constexpr int KELDRIN_FI_STATUSFIELD = 20;  // LONG status-field tag
constexpr int KELDRIN_FI_FIELDNUMBER = 40;  // SHORT field number (tag >> 16)
constexpr int KELDRIN_FI_FIELDTYPE = 42;    // SHORT field type code

// ---- servers ------------------------------------------------------------
LONG DaInitialize(LONG flags);
void DaShutdown(void);
// Server index of an alias made by DaAddServer, or 0.
LONG DaLookupAlias(const char* alias);
// Connects "NODE GROUP /ALIAS=NAME ..." and gives its server index (> 0), or 0.
LONG DaAddServer(const char* command, KeldrinErrorBlock* err);
SHORT DaSelectServer(SHORT serverIndex, KeldrinErrorBlock* err);
SHORT DaSetDefaultServer(SHORT serverIndex, KeldrinErrorBlock* err);
// recordId with bits 21 to 30 replaced by the server index.
LONG DaEmbedServerIndex(SHORT serverIndex, LONG recordId);
SHORT REFRESHUSERCONTEXT(LONG option, KeldrinErrorBlock* err);
// Version of the server's database; text receives "Keldrin M.m" cut to size.
SHORT GETDBVERSION(KeldrinErrorBlock* err, LONG* major, LONG* minor, char* text, LONG size);

// ---- records and fields -------------------------------------------------
SHORT DECODNAM(const char* name, SHORT length, LONG* recordId, KeldrinErrorBlock* err);
SHORT DECODFT(const char* name, SHORT length, LONG* fieldId, KeldrinErrorBlock* err);
// "RECORD FIELD": record and field separated by blanks.
SHORT DECODRAF(const char* text, SHORT length, LONG* recordId, LONG* fieldId,
               KeldrinErrorBlock* err);
// info receives KELDRIN_FIELDINFO_SIZE bytes; *valueSize the bytes of one value.
SHORT FIELDDEFNINFO(LONG recordId, LONG fieldId, LONG option, void* info, LONG* valueSize,
                    KeldrinErrorBlock* err);
// Definition record of a record, or 0.
LONG DEFINID(LONG recordId);
SHORT DB2SHRT(LONG recordId, LONG fieldId, SHORT* value, KeldrinErrorBlock* err);
SHORT DB2LONG(LONG recordId, LONG fieldId, LONG* value, KeldrinErrorBlock* err);
SHORT DB2REID(LONG recordId, LONG fieldId, LONG* value, KeldrinErrorBlock* err);
// Field as text, blank-padded to the field's width and cut to size; no
// terminating zero. *length receives the characters written.
SHORT RDBASCII(LONG recordId, LONG fieldId, char* text, SHORT size, SHORT* length,
               KeldrinErrorBlock* err);
// Field name: *length holds the capacity of name on entry and receives the
// characters written (no terminating zero). GETNMFDB gives names of at most
// 12 characters; GETNMFDB_LNAME the whole name (servers from 11.3 on).
SHORT GETNMFDB(LONG recordId, LONG fieldId, char* name, SHORT* length);
SHORT GETNMFDB_LNAME(LONG recordId, LONG fieldId, char* name, SHORT* length);
// Records of a definition that match a search block: words 0 to 3 unused,
// word 4 the number of criteria n, then n criteria of four words {field tag,
// operator (1: equal), unused, value}; record references compare by bits 0
// to 20. Up to capacity identifiers per call into records, in identifier
// order; *continuation (0 first) carries on from the last call; *count
// receives the number returned (0 on any error). The _LNAME form needs a
// server of 11.3 or later.
void GETRECORDLIST(LONG mode, LONG definitionId, LONG a3, LONG a4, LONG a5, const LONG* search,
                   LONG capacity, LONG* continuation, LONG* records, LONG a10, LONG a11, LONG a12,
                   LONG* count);
void GETRECORDLIST_LNAME(LONG mode, LONG definitionId, LONG a3, LONG a4, LONG a5,
                         const LONG* search, LONG capacity, LONG* continuation, LONG* records,
                         LONG a10, LONG a11, LONG a12, LONG* count);

// ---- current values -----------------------------------------------------
// Batched read and write in the value-buffer layouts by type code. The slot
// positions follow from the codes alone: slots one after the other from the
// buffer start, each on a multiple of 4 except codes -9, -3 and positive
// codes (even positions). On failure *failIndex receives the index of the
// failing entry and nothing is read or written.
SHORT MRDBVALS(SHORT count, const KeldrinRecField* pairs, const SHORT* types, void* buffer,
               SHORT* failIndex, KeldrinErrorBlock* err);
SHORT MWDBVALS(SHORT count, const KeldrinRecField* pairs, const SHORT* types, const void* buffer,
               SHORT* failIndex, KeldrinErrorBlock* err);
SHORT RSPECTYP(float value);
SHORT DSPECTYP(double value);
float RSPECGET(SHORT valueClass);
double DSPECGET(SHORT valueClass);

// ---- history ------------------------------------------------------------
// Raw history of one field (fieldCount 1; fields[0] the history field tag,
// historyKey the same tag with bit 0 set). mode 2: samples from *begin to
// *end, oldest first, at most maxSamples, *more 1 when more remain; modes 9
// and 4: the newest sample at or before *begin (count 0 and times[0] {0, 0}
// when there is none). Element k of buffers[0] lies k * (slot size of
// types[0]) bytes in; character descriptors count from buffers[0].
SHORT RHISKDDATA(LONG mode, LONG flag, LONG a3, LONG recordId, LONG historyKey,
                 const KeldrinUst* begin, const KeldrinUst* end, SHORT fieldCount,
                 const LONG* fields, SHORT* types, LONG maxSamples, SHORT* sampleCodes,
                 KeldrinUst* times, void* const* buffers, LONG* returned, SHORT* more,
                 KeldrinErrorBlock* err);
// Samples on the grid begin, begin + period, ... up to end (one sample at
// begin when period is 0), at most maxSamples. flag 1 holds the last value
// at or before each point; flag 0 interpolates numbers linearly. Sample
// codes: 0 a stored sample, 1 a held or interpolated one, 2 no data. Needs a
// server of 11.3 or later.
SHORT RHISKDINTERPOLATE(LONG mode, LONG flag, LONG a3, LONG a4, LONG recordId, LONG historyKey,
                        const KeldrinUst* begin, const KeldrinUst* end, const KeldrinUst* period,
                        SHORT fieldCount, const LONG* fields, SHORT* types, LONG maxSamples,
                        SHORT* sampleCodes, KeldrinUst* times, void* const* buffers, LONG* returned,
                        SHORT* more, KeldrinErrorBlock* err);

// ---- time ---------------------------------------------------------------
// a minus b in tenths of a second; 0.0 when either is not a valid time.
double CALCDELXTM(const KeldrinTime* a, const KeldrinTime* b);
// Adds *tenths (any sign) to *time; leaves it unchanged on error.
SHORT XTSPLUSDT(KeldrinTime* time, const double* tenths);
// Local day number (days since 1899-12-31, so OLE date = day + 1) and tenths
// of a second of the local day, in the process time zone.
SHORT XTS2DSPDT(const KeldrinTime* time, LONG* day, LONG* tenths);
// The reverse. Tenths past the end of the day carry into the next day. A
// local time that occurs twice at a DST change gives its earlier instant; a
// local time skipped by a DST change is moved on by the length of the gap.
SHORT DSPDT2XTS(LONG day, LONG tenths, KeldrinTime* time);
SHORT XTS2XUST(const KeldrinTime* time, KeldrinUst* ust);
SHORT XUST2XTS(const KeldrinUst* ust, KeldrinTime* time);
// Current time of the historian (the injectable clock of the control surface).
SHORT GETDBXTIM(KeldrinTime* time);
// Local time as "DD-MMM-YYYY HH:MM:SS" (20 characters) cut to width; a zero
// follows only when width leaves room for it. *length receives the characters.
SHORT XTS2ASCII(const KeldrinTime* time, char* text, SHORT width, SHORT* length);
// Message of an error block: at most 77 characters and a terminating zero.
void ERRMESS(const KeldrinErrorBlock* err, char* text, SHORT* length);

}  // extern "C"
