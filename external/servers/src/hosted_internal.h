// What the stand-ins share: the process-wide state behind the control
// surface, the record of calls, and the object counting.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "hosted_servers_sim.h"

namespace hosted::detail {

constexpr int kCounterCount = 5;

struct State {
    std::mutex m;
    std::vector<Call> calls;
    std::array<HRESULT, kServerCount> createFailure{};
    std::map<std::pair<int, DISPID>, mv::Variant> results;
    std::map<std::pair<int, DISPID>, std::pair<HRESULT, std::u16string>> failures;
    // Recipe methods that answer false, with their error texts.
    std::map<std::pair<int, DISPID>, std::u16string> refusals;
    bool rewrite = false;
    std::array<std::atomic<int>, kServerCount> live{};
    std::array<int, kServerCount> creations{};
    std::array<std::atomic<int>, kCounterCount> counters{};
    std::array<DWORD, kServerCount> cookies{};  // class objects; 0 when not registered
    // The recipe database: accepted control IDs and the value of each
    // (control ID, item ID, parameter ID).
    std::vector<SHORT> controlIds;
    std::map<std::tuple<SHORT, SHORT, SHORT>, mv::Variant> recipeValues;
};

State& S();

inline int Index(Server s) {
    return static_cast<int>(s);
}

inline void Bump(Counter c, int by = 1) {
    S().counters[static_cast<int>(c)] += by;
}

// One argument of a stand-in method, as a pointer to where it lives: the
// caller's storage for a by-reference argument, the method's parameter for
// one passed by value (never rewritten).
struct Arg {
    enum Kind { Text, I2, I4, Bool, Var, Disp } kind;
    void* p;
    bool byValue = false;
};
inline Arg A(BSTR* p) {
    return {Arg::Text, p};
}
inline Arg A(SHORT* p) {
    return {Arg::I2, p};
}
inline Arg A(LONG* p) {
    return {Arg::I4, p};
}
inline Arg ABool(VARIANT_BOOL* p) {
    return {Arg::Bool, p};
}
inline Arg A(VARIANT* p) {
    return {Arg::Var, p};
}
inline Arg A(IDispatch** p) {
    return {Arg::Disp, p};
}
template <class T>
Arg In(T* p) {
    Arg a = A(p);
    a.byValue = true;
    return a;
}

// A server's own answer to a call, run when the control surface does not
// override the method.
using Behaviour = std::function<HRESULT(VARIANT* result)>;

// Records the call, then answers it: an injected failure raises its
// exception; with the rewrite switch on, the arguments are rewritten and the
// default answer given; a configured result is returned as it is; otherwise
// `real` answers (none: VT_EMPTY, or a null record set for the ADO query).
HRESULT Serve(Server server, REFIID iid, DISPID id, std::initializer_list<Arg> args,
              VARIANT* result, const Behaviour& real = {});

// The refusal text set for a recipe method, or false when it is not refused.
bool Refused(Server server, DISPID id, std::u16string* text);

// Counts the objects of one server; a creation failure set by a test makes
// the object's construction fail.
template <Server Kind>
class Counted {
protected:
    HRESULT Construct() {
        State& s = S();
        std::lock_guard lock(s.m);
        HRESULT hr = s.createFailure[Index(Kind)];
        if (FAILED(hr)) return hr;
        ++s.creations[Index(Kind)];
        ++s.live[Index(Kind)];
        counted_ = true;
        return S_OK;
    }
    void Destruct() {
        if (counted_) --S().live[Index(Kind)];
    }

private:
    bool counted_ = false;
};

// The ProgID of `s` as a new BSTR.
HRESULT ProgIdOf(Server s, BSTR* progId);

// Sets a by-reference error text (the old one is freed); an empty text
// leaves it as it is.
void SetErrorText(BSTR* errorText, std::u16string_view text);

// The spreadsheet server's own answers (excel_workbooks.cpp): each fills
// `result` and returns "", or returns the text of the exception to raise.
std::u16string ExcelOpen(BSTR file, VARIANT* result);
std::u16string ExcelClose(BSTR workbook);
std::u16string ExcelPutCell(BSTR workbook, BSTR sheet, SHORT row, SHORT column,
                            const VARIANT* value, VARIANT* result);
std::u16string ExcelRecalculate(BSTR workbook, BSTR sheet);
std::u16string ExcelGetCell(BSTR workbook, BSTR sheet, SHORT row, SHORT column, VARIANT* result);
std::u16string ExcelCommand(BSTR workbook, BSTR sheet, BSTR command, VARIANT* result);
std::u16string ExcelPutName(BSTR workbook, BSTR sheet, BSTR name, const VARIANT* value,
                            VARIANT* result);
std::u16string ExcelGetName(BSTR workbook, BSTR sheet, BSTR name, VARIANT* result);
std::u16string ExcelNames(BSTR workbook, BSTR sheet, VARIANT* result);
void ResetWorkbooks();

// Class objects of the servers defined in their own files.
HRESULT MakeAdoClassObject(IUnknown** out);
HRESULT MakeRecipeClassObject(Server s, IUnknown** out);

}  // namespace hosted::detail
