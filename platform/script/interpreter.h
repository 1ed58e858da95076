// The script interpreter: runs parsed programs over VARIANTs.
#pragma once

#include <map>
#include <unordered_map>

#include "comobj.h"
#include "script/syntax.h"

namespace mv::script {

// A runtime error: the language's number (or an HRESULT kept as the number),
// its description and source, and the statement where it happened.
struct RuntimeError {
    LONG number;
    std::u16string description = {};
    std::u16string source = {};
    std::u16string helpFile = {};
    LONG helpContext = 0;
    Position at = {};
    bool placed = false;  // `at` is set
    bool fatal = false;   // not even On Error Resume Next goes on (the statement budget)
};

// What the interpreter asks of its engine.
class ScriptHost {
public:
    // The object behind a named item; the failure when it cannot be had.
    virtual HRESULT GetItem(const std::u16string& name, IDispatch** out) = 0;
    virtual bool HasItem(const std::u16string& name) const = 0;
    // HasItem and GetItem in one look-up: S_FALSE, `out` untouched, when
    // there is no such item.
    virtual HRESULT FindItem(const std::u16string& name, IDispatch** out) = 0;

protected:
    ~ScriptHost() = default;
};

// What built-ins keep from call to call: each engine has its own.
struct BuiltinState {
    uint32_t seed = 0x50000;  // Rnd's generator (24 bits)
};

// A built-in's body: the arguments in script order, the result, the
// engine's state.
using BuiltinBody = HRESULT (*)(VARIANT* args, UINT count, VARIANT* result, BuiltinState* state);

// A built-in function or named constant: its name, argument counts and body.
// An argument left out in the middle of a call list arrives as VT_ERROR
// DISP_E_PARAMNOTFOUND; left out at the end, it is not counted.
struct Builtin {
    const char16_t* name;
    UINT minArgs, maxArgs;
    BuiltinBody call;
    bool constant = false;  // a named constant: it cannot be assigned
};
// The registered built-ins; a script's own names and named items hide them.
const Builtin* FindBuiltin(const std::u16string& folded);

// Used only inside this library: its members are bound directly, not
// through the library's exports.
class [[gnu::visibility("hidden")]] Interpreter {
public:
    Interpreter(ScriptHost * host, uint64_t budget);
    ~Interpreter();

    // Keeps the program (its procedures become global names) and runs its
    // global code; throws RuntimeError.
    void Run(std::shared_ptr<const Program> program);
    // Forgets variables, procedures and cached members.
    void Clear();
    // Back to the state of a new interpreter over the same host with this
    // statement budget, keeping only the storage its containers have grown.
    void Reset(uint64_t budget);

private:
    struct Slot {
        Variant value;
        bool isConst = false;
        bool fixed = false;   // an array with bounds given by Dim
        bool dimmed = false;  // its Dim has run (run again, in a loop, it keeps the value)
    };
    // A procedure's declared name: its own slot, or the slot of the variable
    // a ByRef parameter stands for, which hides it. Of that slot's flags
    // only `fixed` applies to the parameter: one bound to a Const stays
    // assignable.
    struct Local {
        Slot own;
        Slot* byRef = nullptr;
    };
    struct Frame {
        const Procedure* proc = nullptr;               // null for the global code
        std::vector<Local> locals;                     // the procedure's declared names, by index
        std::unordered_map<std::u16string, Slot> own;  // any other name made in it
        Slot result;
        bool resumeNext = false;
    };
    enum class Flow { Normal, ExitDo, ExitFor, ExitProc };

    Flow ExecBlock(const Block& block);
    Flow Exec(const Stmt& s);
    Flow ExecUnguarded(const Stmt& s);
    Flow ExecFor(const Stmt& s);
    Flow ExecForEach(const Stmt& s);
    Flow ExecDo(const Stmt& s);
    void Charge();
    void Dim(const Stmt& s);
    void ReDim(const Stmt& s);
    void Erase(const Expr& variable);

    Variant Eval(const Expr& e);
    Variant EvalGeneral(const Expr& e);
    Variant QuickOrEval(const Expr& e);
    bool Quick(const Expr& e, VARIANT* out);
    bool QuickRoot(const Expr& e, VARIANT* out);
    bool AssignQuick(const Expr& target, const Expr& value, bool* refused);
    Variant EvalRef(const Expr& e, VARIANT* borrowed = nullptr);
    Variant Operand(const Expr& e, VARIANT* view);
    bool QuickMisses(const Expr& e) const;
    Variant EvalMember(const Expr& e);
    Variant Operate(Operator op, const VARIANT& l, const VARIANT& r);
    void Assign(const Expr& target, Variant value, bool set);
    bool AppendInPlace(const Expr& target, const Expr& value);

    // A variable and the slot whose flags its name has: none for a ByRef
    // parameter or a function's result.
    Variant* FindVariable(const std::u16string& name, Slot** slot);
    // The slot a variable is kept in (for a ByRef parameter, the caller's
    // variable's), and whether its flags are the name's own.
    Slot* FindSlot(const std::u16string& name, bool* own);
    Variant* FindVariable(const Expr& ref, Slot** slot);
    static Slot& OwnSlot(Frame & f, const std::u16string& name);
    static Variant* LocalVariable(Local & l, Slot * *slot);
    Variant* DeclareImplicit(const std::u16string& name, const Expr& at);
    const Procedure* FindProcedure(const std::u16string& name) const;
    bool IsErrObject(const Expr& e);
    IDispatch* Item(const std::u16string& name);
    Variant CallProcedure(const Procedure& p, const std::vector<ExprPtr>& args);
    Variant CallBuiltin(const Builtin& b, const std::vector<ExprPtr>& args);

    DISPID Member(IDispatch * obj, const Expr& e);
    Variant Invoke(IDispatch * obj, DISPID id, WORD flags, const std::vector<ExprPtr>& args,
                   const VARIANT* put = nullptr, const Expr* holder = nullptr);
    Variant ErrMember(const Expr& e);
    void ErrAssign(const Expr& target, const Variant& value);
    std::vector<LONG> Indexes(const std::vector<ExprPtr>& args);
    Variant& ArrayAfterIndexes(const Expr& ref, bool variants);
    void* Element(const Variant& array, std::vector<LONG>& indexes);
    bool Truth(const Variant& v);
    LONG Index(const Variant& v);

    // Reset puts every member below back as a new interpreter has it.
    ScriptHost* host_;
    uint64_t budget_, executed_ = 0;
    std::vector<std::shared_ptr<const Program>> programs_;
    std::unordered_map<std::u16string, const Procedure*> procedures_;
    std::vector<Frame*> frames_;
    Frame global_;
    // What the running program's references have found, by the reference's
    // id: a global variable, once made, stays until Clear; a name found to be
    // none stays none while no global variable is made (`absentAt` is the
    // count of global variables then, plus one).
    struct Bound {
        Slot* slot = nullptr;
        size_t absentAt = 0;
    };
    std::vector<Bound> bound_;
    BuiltinState builtinState_;
    // The name or literal where the latest quick road of a whole expression
    // gave up: what begins with it gives up too, until something runs.
    const Expr* quickMiss_ = nullptr;
    bool explicit_ = false;
    struct ErrState {
        LONG number = 0;
        std::u16string description, source, helpFile;
        LONG helpContext = 0;
    } err_;
    // Member identifiers by object and folded name for the run; the entry
    // keeps the object alive so its address cannot come back as another.
    std::map<std::pair<IDispatch*, std::u16string>, std::pair<ComPtr<IDispatch>, DISPID>> members_;
};

// Throws the runtime error that a failure stands for.
[[noreturn]] void Raise(HRESULT failure);
[[noreturn]] void RaiseNumber(LONG number);

}  // namespace mv::script
