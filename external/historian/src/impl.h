// Implementations behind the entry points of both libraries. Each takes the
// target of the call (the thread's selected server, or the local node) and
// the arguments of the entry point unchanged.
#pragma once

#include "model.h"

namespace kh {

SHORT decodnam(Target t, const char* name, SHORT length, LONG* recordId, KeldrinErrorBlock* err);
SHORT decodft(Target t, const char* name, SHORT length, LONG* fieldId, KeldrinErrorBlock* err);
SHORT decodraf(Target t, const char* text, SHORT length, LONG* recordId, LONG* fieldId,
               KeldrinErrorBlock* err);
SHORT fielddefninfo(Target t, LONG recordId, LONG fieldId, void* info, LONG* valueSize,
                    KeldrinErrorBlock* err);
LONG definid(Target t, LONG recordId);
SHORT readInteger(Target t, LONG recordId, LONG fieldId, int64_t lo, int64_t hi, int64_t* out,
                  KeldrinErrorBlock* err);
SHORT rdbascii(Target t, LONG recordId, LONG fieldId, char* text, SHORT size, SHORT* length,
               KeldrinErrorBlock* err);
SHORT fieldName(Target t, LONG recordId, LONG fieldId, char* name, SHORT* length, bool longName);
void recordList(Target t, bool longName, LONG definitionId, const LONG* search, LONG capacity,
                LONG* continuation, LONG* records, LONG* count);
SHORT dbversion(Target t, KeldrinErrorBlock* err, LONG* major, LONG* minor, char* text, LONG size);
SHORT refreshUserContext(Target t, KeldrinErrorBlock* err);

SHORT readValues(Target t, SHORT count, const KeldrinRecField* pairs, const SHORT* types,
                 void* buffer, SHORT* failIndex, KeldrinErrorBlock* err);
SHORT writeValues(Target t, SHORT count, const KeldrinRecField* pairs, const SHORT* types,
                  const void* buffer, SHORT* failIndex, KeldrinErrorBlock* err);

struct HistoryRequest {
    LONG mode, flag, recordId, historyKey;
    const KeldrinUst* begin;
    const KeldrinUst* end;
    const KeldrinUst* period;  // null for a raw read
    SHORT fieldCount;
    const LONG* fields;
    SHORT* types;
    LONG maxSamples;
    SHORT* sampleCodes;
    KeldrinUst* times;
    void* const* buffers;
    LONG* returned;
    SHORT* more;
};
SHORT readHistory(Target t, const HistoryRequest& r, KeldrinErrorBlock* err);

// Value layouts by type code.
struct Slot {
    int size = 0;
    bool align4 = true;
    int status = -1, level = -1;  // byte offsets, -1 when absent
    int xts = -1, xust = -1;      // byte offset of the time
    bool descriptor = false;      // characters through a descriptor at 0
};
std::optional<Slot> slotOf(SHORT code);
// Positions of the slots of a batch, from the codes alone.
std::vector<int> slotPositions(SHORT count, const SHORT* types);

SHORT specClass(double v, bool single);
double specValue(SHORT cls);
float specValueSingle(SHORT cls);

// Time calls (no target).
double calcdelxtm(const KeldrinTime* a, const KeldrinTime* b);
SHORT xtsplusdt(KeldrinTime* time, const double* tenths);
SHORT xts2dspdt(const KeldrinTime* time, LONG* day, LONG* tenths);
SHORT dspdt2xts(LONG day, LONG tenths, KeldrinTime* time);
SHORT xts2xust(const KeldrinTime* time, KeldrinUst* ust);
SHORT xust2xts(const KeldrinUst* ust, KeldrinTime* time);
SHORT getdbxtim(KeldrinTime* time);
SHORT xts2ascii(const KeldrinTime* time, char* text, SHORT width, SHORT* length);
void errmess(const KeldrinErrorBlock* err, char* text, SHORT* length);

}  // namespace kh
