// Entry points of the formula scripting library, loaded by name as
// "corvex.dll" (built as libcorvex.so). Callers look the entry points up by
// name and call them through these pointer types.
//
// Two halves:
//   - Tag calls: look a historian tag up in the library's own tag table
//     (seeded through corvex_sim.h) and report its field, units and
//     identifiers.
//   - Script calls: parse a formula text and list the names it uses, and run
//     a formula text against a calculation.
//
// The formula language
// --------------------
// A text is a list of lines. A blank line, or one whose first character
// other than blanks is "#", is ignored. Every other line is
//
//     target = expression
//
// where target is a name or a tag reference. Expressions:
//   - numbers in the en-US form: digits with an optional "." and fraction and
//     an optional exponent ("3", "0.5", ".5", "1e-3", "2.5E+4");
//   - names: a letter or "_", then letters, digits and "_" (a calculation
//     parameter; names compare without regard to ASCII case);
//   - tag references node:record, two names joined by ":" (the parameter
//     named by the record, bound to the tag);
//   - formula calls name(argument, ...), zero or more arguments;
//   - "+", "-", "*", "/", "^" (power, binds right to left), unary minus and
//     parentheses. "^" binds tighter than unary minus, which binds tighter
//     than "*" and "/", which bind tighter than "+" and "-".
// A name, node or record longer than 599 bytes is a syntax error, so that
// every text next_parameter3 writes fits a 600-byte buffer.
//
// Parsing (parse_simple_calc3)
//   The names of the text, each once, in the order of their first
//   appearance (target before expression on a line), become the parameters
//   that next_parameter3 returns: kind 1 when the text only reads the name,
//   2 when it only assigns it, 3 when it does both; offset 0.0. A tag
//   reference gives its record as the name, with node and record filled;
//   for a plain name node and record are empty. Every formula called is
//   asked for once through the calculation's GetFormula; a formula that
//   comes back as none is an error. An error puts "<message> (line N)" into
//   the calculation's ErrorText; the handle then lists no parameter.
//
// Running (execute_corvex_exx)
//   The text is parsed again (a syntax error lands in ErrorText as above,
//   without the GetFormula calls) and its lines run in order. A name or tag
//   reference reads the Value of the calculation's parameter (GetParameter)
//   as a number, and its Level; a formula call runs the formula reference's
//   script function (GetFormulaRef, then its member 0 with the arguments as
//   numbers) and reads its result as a number. The target parameter gets the
//   result as Value (VT_R8), the worst Level read on the line (-1 when none)
//   and the Status of that level: -1 gives -2, 0 gives -1, 1 gives -3, any
//   other -6. The first failure puts one of these texts into ErrorText and
//   ends the run (lines before it keep their results):
//     Unknown name "X" (line N)
//     "X" is not a number (line N)
//     Division by zero (line N)
//     Result is not a finite number (line N)
//     Unknown formula "F" (line N)
//     Formula "F" failed: <description> (line N)
//     Cannot write "X" (line N)
//
// The calculation is reached through its IDispatch by member name:
// GetParameter, ErrorText, GetFormula (name; VT_BYREF|VT_DISPATCH formula
// out; VT_BYREF|VT_I4 count out), GetFormulaRef; and on parameters Value,
// Level, Status.
#pragma once

#include "oleaut.h"

struct IMvCalculation;

extern "C" {

// Size of every text buffer the callers hand over, terminator included.
constexpr LONG CORVEX_TEXT_BUFFER = 600;

// Result of KeldrinFieldUnitHist.
enum : LONG {
    CORVEX_TAG_OK = 0,
    CORVEX_TAG_NOT_FOUND = 1,  // no such tag on that server and group
    CORVEX_TAG_BAD_ARGUMENT = 2,
};

// Fills field, units and historyField (CORVEX_TEXT_BUFFER bytes each) with
// the tag's field name, units and history field name, as stored (trailing
// blanks kept). Answers CORVEX_TAG_OK, or another value with the buffers
// untouched.
typedef LONG (*PFN_KeldrinFieldUnitHist)(const char* server, LONG group, const char* tag,
                                         char* field, char* units, char* historyField);
// Checks the tag and its field name (blanks at the end ignored) and fills
// the identifiers. The result is VT_EMPTY on success, or a VT_BSTR error
// text (the caller frees it) with the outputs untouched.
typedef VARIANT (*PFN_KeldrinTagValidate3)(const char* server, LONG group, const char* tag,
                                           const char* field, LONG* recordId, LONG* fieldId,
                                           LONG* definitionId, LONG* statusFieldId, LONG* fieldType,
                                           LONG* reserved1, LONG* reserved2,
                                           const char* historyField, LONG* historyFieldId);

// The script calls answer 0; a non-zero answer (bad arguments) means that
// nothing was done. Their callers rely on the calculation's ErrorText.
typedef LONG (*PFN_parse_simple_calc3)(IMvCalculation* calc, const char* script, void** handle,
                                       LONG adHoc);
// Each call gives the next parameter into the three buffers (at least
// CORVEX_TEXT_BUFFER bytes each) with *found 1, or *found 0 when none is
// left (the buffers then hold empty texts).
typedef LONG (*PFN_next_parameter3)(void* handle, char* name, char* node, char* record, LONG* found,
                                    LONG* kind, double* offset);
// Releases a parse; a null handle is accepted.
typedef LONG (*PFN_free_simple_calc)(void* handle);
typedef LONG (*PFN_execute_corvex_exx)(IMvCalculation* calc, LONG hasDravik, const char* script,
                                       LONG onDemand, LONG sandBox);

}  // extern "C"
