// Active Scripting: the interfaces between a script engine and its host.
// Names, identifiers and slot orders follow the platform so that a host
// written against it compiles unchanged.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "comobj.h"
#include "oleaut.h"

// ---------------------------------------------------------------------------
// Host side: the site an engine calls back
// ---------------------------------------------------------------------------
MV_DEFINE_GUID(IID_IActiveScriptSite, 0xDB01A1E3, 0xA42B, 0x11CF, 0x8F, 0x20, 0x00, 0x80, 0x5F,
               0x2C, 0xD0, 0x64);

enum SCRIPTSTATE {
    SCRIPTSTATE_UNINITIALIZED = 0,
    SCRIPTSTATE_INITIALIZED = 5,
    SCRIPTSTATE_STARTED = 1,
    SCRIPTSTATE_CONNECTED = 2,
    SCRIPTSTATE_DISCONNECTED = 3,
    SCRIPTSTATE_CLOSED = 4,
};

struct IActiveScriptError;

struct IActiveScriptSite : IUnknown {
    virtual HRESULT GetLCID(LCID* plcid) = 0;
    virtual HRESULT GetItemInfo(LPCOLESTR pstrName, DWORD dwReturnMask, IUnknown** ppiunkItem,
                                ITypeInfo** ppti) = 0;
    virtual HRESULT GetDocVersionString(BSTR* pbstrVersion) = 0;
    virtual HRESULT OnScriptTerminate(const VARIANT* pvarResult, const EXCEPINFO* pexcepinfo) = 0;
    virtual HRESULT OnStateChange(SCRIPTSTATE ssScriptState) = 0;
    virtual HRESULT OnScriptError(IActiveScriptError* pscripterror) = 0;
    virtual HRESULT OnEnterScript() = 0;
    virtual HRESULT OnLeaveScript() = 0;

protected:
    ~IActiveScriptSite() = default;
};

// ---------------------------------------------------------------------------
// Script values (the value model of the engine's operators)
// ---------------------------------------------------------------------------
namespace mv::script {

// A script value is a VARIANT of the language's subtypes: Empty, Null,
// Integer (VT_I2), Long, Single, Double, Currency, Date, String, Boolean,
// Byte, Object (Nothing is a null VT_DISPATCH) and arrays of Variant. Values
// of other types that objects hand over (VT_DECIMAL, VT_ERROR, VT_I8, ...)
// are held and passed on unchanged; the operators take them as the Var*
// functions do.
using Value = mv::Variant;

// A script error travels as the HRESULT 0x800A0000 plus its number.
constexpr HRESULT ErrorScode(LONG number) {
    return static_cast<HRESULT>(0x800A0000u | static_cast<ULONG>(number & 0xFFFF));
}
constexpr LONG kErrorInvalidProcedureCall = 5;
constexpr LONG kErrorOverflow = 6;
constexpr LONG kErrorOutOfMemory = 7;
constexpr LONG kErrorSubscriptOutOfRange = 9;
constexpr LONG kErrorDivisionByZero = 11;
constexpr LONG kErrorTypeMismatch = 13;
constexpr LONG kErrorInvalidUseOfNull = 94;

// The error number a failure stands for: a script error's own number, the
// row of the error table, or else the HRESULT itself.
LONG ErrorNumber(HRESULT failure);
// The language's description of an error number; empty when it has none.
std::u16string_view ErrorDescription(LONG number);

// The comparison operators =, <>, <, <=, >, >=.
enum class Comparison { Equal, NotEqual, Less, LessEqual, Greater, GreaterEqual };

// Orders two values as the language does: Null gives VARCMP_NULL; two
// Empties are equal; Empty is 0 beside a number and "" beside a string; a
// number is less than a string; everything else as VarCmp (case-sensitive).
// Objects give their default member first. Answers a VARCMP_ value or a
// failure.
HRESULT CompareValues(const VARIANT& left, const VARIANT& right);
// The Boolean (or Null) a comparison operator gives, in `result`.
HRESULT Compare(Comparison op, const VARIANT& left, const VARIANT& right, VARIANT* result);

// The truth of a condition: a number is true when non-zero, a string is read
// as en-US True/False or a number, Empty and Null are false, an object gives
// its default member; anything else is a type mismatch.
HRESULT IsTrue(const VARIANT& value, bool* out);

// An index or a count: the value as a Long, rounded half to even; Null is
// error 94.
HRESULT ToIndex(const VARIANT& value, LONG* out);

}  // namespace mv::script

// ---------------------------------------------------------------------------
// Engine side: IActiveScript, IActiveScriptParse, IActiveScriptError
// ---------------------------------------------------------------------------
// The platform's script engine class, built into this library: CoCreateInstance
// finds it without a registry entry (a class registered in the process under
// the same CLSID takes precedence).
MV_DEFINE_GUID(CLSID_VBScript, 0xB54F3741, 0x5B07, 0x11CF, 0xA4, 0xB0, 0x00, 0xAA, 0x00, 0x4A, 0x55,
               0xE8);
MV_DEFINE_GUID(IID_IActiveScript, 0xBB1A2AE1, 0xA4F9, 0x11CF, 0x8F, 0x20, 0x00, 0x80, 0x5F, 0x2C,
               0xD0, 0x64);
MV_DEFINE_GUID(IID_IActiveScriptParse, 0xBB1A2AE2, 0xA4F9, 0x11CF, 0x8F, 0x20, 0x00, 0x80, 0x5F,
               0x2C, 0xD0, 0x64);
MV_DEFINE_GUID(IID_IActiveScriptError, 0xEAE1BA61, 0xA4ED, 0x11CF, 0x8F, 0x20, 0x00, 0x80, 0x5F,
               0x2C, 0xD0, 0x64);

constexpr DWORD SCRIPTITEM_ISVISIBLE = 0x00000002;
constexpr DWORD SCRIPTITEM_ISSOURCE = 0x00000004;
constexpr DWORD SCRIPTITEM_GLOBALMEMBERS = 0x00000008;
constexpr DWORD SCRIPTITEM_ISPERSISTENT = 0x00000040;
constexpr DWORD SCRIPTITEM_CODEONLY = 0x00000200;
constexpr DWORD SCRIPTITEM_NOCODE = 0x00000400;

constexpr DWORD SCRIPTINFO_IUNKNOWN = 0x00000001;
constexpr DWORD SCRIPTINFO_ITYPEINFO = 0x00000002;

constexpr DWORD SCRIPTTEXT_DELAYEXECUTION = 0x00000001;
constexpr DWORD SCRIPTTEXT_ISVISIBLE = 0x00000002;
constexpr DWORD SCRIPTTEXT_ISEXPRESSION = 0x00000020;
constexpr DWORD SCRIPTTEXT_ISPERSISTENT = 0x00000040;
constexpr DWORD SCRIPTTEXT_HOSTMANAGESSOURCE = 0x00000080;

constexpr HRESULT SCRIPT_E_REPORTED = static_cast<HRESULT>(0x80020101);

using SCRIPTTHREADID = DWORD;
enum SCRIPTTHREADSTATE { SCRIPTTHREADSTATE_NOTINSCRIPT = 0, SCRIPTTHREADSTATE_RUNNING = 1 };

struct IActiveScriptError : IUnknown {
    virtual HRESULT GetExceptionInfo(EXCEPINFO* pexcepinfo) = 0;
    virtual HRESULT GetSourcePosition(DWORD* pdwSourceContext, ULONG* pulLineNumber,
                                      LONG* plCharacterPosition) = 0;
    virtual HRESULT GetSourceLineText(BSTR* pbstrSourceLine) = 0;

protected:
    ~IActiveScriptError() = default;
};

struct IActiveScript : IUnknown {
    virtual HRESULT SetScriptSite(IActiveScriptSite* pass) = 0;
    virtual HRESULT GetScriptSite(REFIID riid, void** ppvObject) = 0;
    virtual HRESULT SetScriptState(SCRIPTSTATE ss) = 0;
    virtual HRESULT GetScriptState(SCRIPTSTATE* pssState) = 0;
    virtual HRESULT Close() = 0;
    virtual HRESULT AddNamedItem(LPCOLESTR pstrName, DWORD dwFlags) = 0;
    virtual HRESULT AddTypeLib(REFGUID rguidTypeLib, DWORD dwMajor, DWORD dwMinor,
                               DWORD dwFlags) = 0;
    virtual HRESULT GetScriptDispatch(LPCOLESTR pstrItemName, IDispatch** ppdisp) = 0;
    virtual HRESULT GetCurrentScriptThreadID(SCRIPTTHREADID* pstidThread) = 0;
    virtual HRESULT GetScriptThreadID(DWORD dwWin32ThreadId, SCRIPTTHREADID* pstidThread) = 0;
    virtual HRESULT GetScriptThreadState(SCRIPTTHREADID stidThread,
                                         SCRIPTTHREADSTATE* pstsState) = 0;
    virtual HRESULT InterruptScriptThread(SCRIPTTHREADID stidThread, const EXCEPINFO* pexcepinfo,
                                          DWORD dwFlags) = 0;
    virtual HRESULT Clone(IActiveScript** ppscript) = 0;

protected:
    ~IActiveScript() = default;
};

struct IActiveScriptParse : IUnknown {
    virtual HRESULT InitNew() = 0;
    virtual HRESULT AddScriptlet(LPCOLESTR pstrDefaultName, LPCOLESTR pstrCode,
                                 LPCOLESTR pstrItemName, LPCOLESTR pstrSubItemName,
                                 LPCOLESTR pstrEventName, LPCOLESTR pstrDelimiter,
                                 DWORD_PTR dwSourceContextCookie, ULONG ulStartingLineNumber,
                                 DWORD dwFlags, BSTR* pbstrName, EXCEPINFO* pexcepinfo) = 0;
    virtual HRESULT ParseScriptText(LPCOLESTR pstrCode, LPCOLESTR pstrItemName,
                                    IUnknown* punkContext, LPCOLESTR pstrDelimiter,
                                    DWORD_PTR dwSourceContextCookie, ULONG ulStartingLineNumber,
                                    DWORD dwFlags, VARIANT* pvarResult, EXCEPINFO* pexcepinfo) = 0;

protected:
    ~IActiveScriptParse() = default;
};

namespace mv::script {

// Makes an engine (the built-in class of CLSID_VBScript).
HRESULT CreateEngine(IUnknown* outer, REFIID riid, void** ppv);
// Whether CoCreateInstance of CLSID_VBScript makes the built-in engine now:
// no class of the process serves that CLSID. Takes no lock.
bool BuiltInEngineServes();

// Test control: engines created afterwards stop a script after this many
// statements with error 0x80004004 ("Script stopped: statement budget
// exhausted"); 0 (the default) sets no budget.
void SetStatementBudgetForTesting(uint64_t statements);

// Test control: the calling thread reads how far its stack may grow again
// at its next check; with `sourcesFail`, neither the C library nor the
// process's memory map answers for any thread until it is called again
// without, so that a check falls back to a fixed room below itself.
void ResetStackFloorForTesting(bool sourcesFail);

// Parsed texts are kept for every engine in the process, within these
// bounds (the bytes estimate a program's text and its parsed nodes).
constexpr size_t kProgramCacheEntries = 512;
constexpr size_t kProgramCacheBytes = size_t{16} << 20;

// What the cache holds, and how many texts it has parsed since it was
// last emptied.
struct ProgramCacheCounts {
    size_t entries, bytes, parses;
};
ProgramCacheCounts ProgramCacheCountsForTesting();
void ClearProgramCacheForTesting();

// ---------------------------------------------------------------------------
// Prepared text and items: the built-in engine's road for a host that makes
// an engine per run for the same text and the same named items (a formula
// run after run). The host prepares them once, keeps them as long as they
// stay true, and hands them to each engine through IActiveScriptPrepared.
// Both are immutable once made, so engines on several threads may share
// them.
// ---------------------------------------------------------------------------
struct Program;

// A script text with its parse, made once: each engine given it runs the
// parse without asking the process-wide cache again. A text with a syntax
// error keeps no parse; each engine then parses and reports it as
// ParseScriptText does.
class PreparedText {
public:
    static std::shared_ptr<const PreparedText> Make(std::u16string text);

    const std::shared_ptr<const std::u16string>& Text() const { return text_; }
    const std::shared_ptr<const Program>& Parsed() const { return program_; }

private:
    std::shared_ptr<const std::u16string> text_;
    std::shared_ptr<const Program> program_;
};

// Named items in the order they were added, each with the object the site's
// GetItemInfo gives for it when the host knows it already (null: the engine
// asks the site, as for an item of AddNamedItem). A name already added, in
// any letter case, is passed over, as AddNamedItem passes it over. The
// objects hold only while the check, when there is one, answers true; the
// engine asks it when it first needs an item in a run.
class NamedItems {
public:
    struct Item {
        std::u16string spelling;
        ComPtr<IDispatch> object;
    };

    void Add(std::u16string_view name, ComPtr<IDispatch> object = nullptr);
    void SetCheck(std::function<bool()> check) { check_ = std::move(check); }

    size_t Size() const { return items_.size(); }
    const std::u16string& Spelling(size_t index) const { return items_[index].spelling; }
    // The object known for an item, or null when the site is to be asked.
    IDispatch* Known(size_t index) const {
        IDispatch* object = items_[index].object.get();
        return object && (!check_ || check_()) ? object : nullptr;
    }
    // The index of the item of a folded name (ASCII letters in lower case);
    // npos when there is none.
    size_t Find(const std::u16string& folded) const;
    // Whether the item at `index` has the folded name.
    bool Is(size_t index, const std::u16string& folded) const {
        const std::u16string& f = folded_[index];
        return f.size() == folded.size() &&
               std::char_traits<char16_t>::compare(f.data(), folded.data(), f.size()) == 0;
    }

    static constexpr size_t npos = static_cast<size_t>(-1);

private:
    std::vector<Item> items_;
    std::vector<std::u16string> folded_;  // by index: searched in turn while there are few
    std::unordered_map<std::u16string, size_t> index_;
    std::function<bool()> check_;
};

}  // namespace mv::script

// Implemented by the built-in engine beside IActiveScriptParse. Each call
// leaves the engine as the standard calls it stands for would.
MV_DEFINE_GUID(IID_IActiveScriptPrepared, 0x6D3A90C4, 0x1E27, 0x4B5F, 0x9C, 0x41, 0x2A, 0x7E, 0x53,
               0xB8, 0x0F, 0x16);

struct IActiveScriptPrepared : IUnknown {
    // ParseScriptText of the text with no item, context or delimiter,
    // cookie 0, line 0, flags 0, no result and no exception information.
    virtual HRESULT ParsePreparedText(
        const std::shared_ptr<const mv::script::PreparedText>& text) = 0;
    // AddNamedItem of each item in order with `flags`.
    virtual HRESULT AddNamedItems(const std::shared_ptr<const mv::script::NamedItems>& items,
                                  DWORD flags) = 0;
    // After Close: makes the engine as CoCreateInstance makes it (no site, no
    // items, no text, nothing of its runs, the statement budget in force now),
    // so that a host may keep it for its next run. E_UNEXPECTED before Close.
    virtual HRESULT Recycle() = 0;

protected:
    ~IActiveScriptPrepared() = default;
};

// The scripting interfaces' identifiers by type, for ComPtr::As and the
// interface maps of hosts and engines alike.
MV_IID_OF(IActiveScriptSite, IID_IActiveScriptSite);
MV_IID_OF(IActiveScriptError, IID_IActiveScriptError);
MV_IID_OF(IActiveScript, IID_IActiveScript);
MV_IID_OF(IActiveScriptParse, IID_IActiveScriptParse);
MV_IID_OF(IActiveScriptPrepared, IID_IActiveScriptPrepared);
