// Control surface of the in-memory historian behind keldrin_api and the
// older client library, for tests and for trying the module without a
// plant. Exported by libkeldrin_api.so; both libraries share one model.
#pragma once

#include "keldrin_api.h"

extern "C" {

// Which library a failure, an exception or a call count concerns.
enum : LONG {
    KHSIM_API = 1,       // keldrin_api
    KHSIM_KELDCORE = 2,  // the older client library
    KHSIM_BOTH = 3,
};

// A value to seed or to inspect. Which member counts follows the field's
// type: Number for numeric fields, Text for character fields, Time for time
// fields (-8, -7), Pair for -2. Stamp is the time of the value (of the
// sample, for history); a Stamp with a first word of all ones takes the
// clock's time.
struct KhSimValue {
    double Number;
    const char* Text;
    KeldrinTime Time;
    LONG Pair[2];
    SHORT IsSpecial;     // 1: the value is the special value of SpecialClass
    SHORT SpecialClass;  // KELDRIN_CLASS_NOVALUE, _BAD or _OVERRANGE
    SHORT Status;
    SHORT Level;
    KeldrinTime Stamp;
};

// Forgets every server, record, alias, injection and count; clock back to the
// system clock; DBMAPPED and KeldrinInit answer 1; no shutdown callback.
void KhSim_Reset(void);

// A node that DaAddServer can connect, with its database version. At most
// one node is local: the older library serves it. Returns a node number
// (> 0), or 0 for a bad or repeated name.
LONG KhSim_AddServer(const char* node, LONG major, LONG minor, LONG isLocal);
// A record of a node; definitionId is its definition record (0: none).
// Returns the new record identifier (> 0), or 0.
LONG KhSim_AddRecord(const char* node, const char* name, LONG definitionId);
// A field of a record. fieldType is the type code FIELDDEFNINFO reports
// (-24 to -1, or a character width of 1 or more).
// The name is entered in the node's field dictionary (one tag per name).
// Returns 1, or 0 for bad input.
LONG KhSim_AddField(const char* node, LONG recordId, const char* fieldName, LONG fieldTag,
                    SHORT fieldType, LONG statusFieldTag);
// Current value of a field. Returns 1, or 0 for bad input.
LONG KhSim_SetValue(const char* node, LONG recordId, LONG fieldTag, const KhSimValue* value);
// Reads a current value back; the text goes to text (size bytes with its
// zero) and value->Text is set to null. Returns 1, or 0.
LONG KhSim_GetValue(const char* node, LONG recordId, LONG fieldTag, KhSimValue* value, char* text,
                    LONG size);
// Forgets the time of a field's current value, as a field never valued has
// none. Returns 1, or 0 for bad input.
LONG KhSim_ClearValueTime(const char* node, LONG recordId, LONG fieldTag);
// Adds one history sample at value->Stamp (kept in time order; a sample at
// the same time replaces the old one). Returns 1, or 0.
LONG KhSim_AddSample(const char* node, LONG recordId, LONG fieldTag, const KhSimValue* value);

// The time GETDBXTIM gives; null returns to the system clock.
void KhSim_SetClock(const KeldrinTime* now);

// Makes the next `times` calls of `name` in the given libraries fail with
// the code and detail words (times -1: until cleared; 0 clears). A call with
// an error block fills it; a call without one returns its failure result.
void KhSim_FailCall(LONG library, const char* name, SHORT code, LONG err1, LONG err2, LONG times);
// Makes the next `times` calls of `name` throw a C++ exception (-1: until
// cleared; 0 clears).
void KhSim_ThrowInCall(LONG library, const char* name, LONG times);
// Number of calls of `name` in the given libraries since the last reset.
LONG KhSim_CallCount(LONG library, const char* name);
// Number of history samples filed, by a write with a time or by
// KhSim_AddSample, at a time their field already held (each replaced the
// sample there), since the last reset.
LONG KhSim_DuplicateStampCount(void);

// 1 while keldrin_api is started: from load or DaInitialize until DaShutdown.
// While it is shut down, its calls with an error block fail with
// KELDRIN_E_NOTSTARTED (its time calls are unaffected). KhSim_Reset starts it.
LONG KhSim_ApiStarted(void);

// What the older library's DBMAPPED and KeldrinInit answer.
void KhSim_SetAttachAnswers(LONG dbmapped, LONG keldrinInit);
// Calls the shutdown callback handed to KeldrinInit, if any, with `reason`.
// Returns 1 when a callback ran.
LONG KhSim_FireShutdown(LONG reason);
// Puts the folder of the older library on MORVA_DLL_PATH (present 1) or
// takes it off (present 0). Returns 1 on success.
LONG KhSim_SetOlderLibraryPresent(LONG present);

}  // extern "C"
