// Control surface of the formula scripting library's stand-in, for tests
// and for trying the module without the real library. Exported by
// libcorvex_sim.so, which holds the library's state; every build of
// "corvex.dll" shares it.
#pragma once

#include "corvex.h"

// The library is built with hidden visibility; these are its exports.
#pragma GCC visibility push(default)
extern "C" {

// A tag of the library's tag table. Texts are copied (null reads as empty;
// they may end in blanks, as the historian stores them). Group -1 matches
// every group number.
struct CorvexSimTag {
    const char* Server;
    LONG Group;
    const char* TagName;
    const char* FieldName;
    const char* Units;
    const char* HistoryFieldName;
    LONG RecordId;
    LONG FieldId;
    LONG DefinitionId;
    LONG StatusFieldId;
    LONG HistoryFieldId;
    LONG FieldType;
};

// One parameter of a scripted parse result.
struct CorvexSimParameter {
    const char* Name;
    const char* Node;
    const char* Record;
    LONG Kind;
    double Offset;
};

// How an injected failure shows.
enum : LONG {
    CORVEXSIM_THROW = 1,      // the call throws std::runtime_error(text)
    CORVEXSIM_ERRORTEXT = 2,  // a script call puts text into ErrorText and does nothing else
    CORVEXSIM_REJECT = 3,     // KeldrinFieldUnitHist answers code; KeldrinTagValidate3 text
};

// Which build of the library "corvex.dll" finds (MORVA_DLL_PATH).
enum : LONG {
    CORVEXSIM_ABSENT = 0,          // the library folder is off the path
    CORVEXSIM_FULL = 1,            // every entry point
    CORVEXSIM_WITHOUT_SCRIPT = 2,  // only the two tag calls
};

// Forgets every tag, scripted parse, injection, count and flag.
void CorvexSim_Reset(void);

// Adds or replaces (same server, group and tag name, ignoring case) a tag.
// Returns 1, or 0 for a null tag or an empty server or tag name.
LONG CorvexSim_SeedTag(const CorvexSimTag* tag);

// Every following parse gives these parameters instead of the text's (a
// copy; count 0 gives none) and first asks GetFormula for each of the
// formula names. A negative count returns to parsing the text.
void CorvexSim_ScriptParse(const CorvexSimParameter* parameters, LONG count,
                           const char* const* formulas, LONG formulaCount);

// Makes the next `times` calls of entry point `name` fail as `mode` says
// (-1: until cleared; 0 clears). code is KeldrinFieldUnitHist's answer for
// CORVEXSIM_REJECT; text the exception's, the error text or the rejection.
void CorvexSim_FailCall(const char* name, LONG mode, LONG code, const char* text, LONG times);

// Number of calls of entry point `name` since the last reset.
LONG CorvexSim_CallCount(const char* name);

// What the last execute_corvex_exx was given (-1 before any), and the
// adHoc flag of the last parse_simple_calc3.
struct CorvexSimFlags {
    LONG HasDravik;
    LONG OnDemand;
    LONG SandBox;
    LONG AdHoc;
};
void CorvexSim_GetFlags(CorvexSimFlags* flags);

// Puts the folder of the chosen build first on MORVA_DLL_PATH, or takes
// the library folders off it (CORVEXSIM_ABSENT; the older historian
// library shares that folder and goes too). Returns 1 on success.
LONG CorvexSim_SetLibrary(LONG which);

}  // extern "C"
#pragma GCC visibility pop
