// The script interpreter: a tree walk over the parsed program. Operators are
// the Var* functions and the value model of script.h; objects are reached
// through IDispatch.
#include "script/interpreter.h"

#include <cmath>
#include <utility>

#include "oleaut/convert_internal.h"
#include "script/stack_room.h"

namespace mv::script {
namespace {

constexpr LONG kObjectRequired = 424;
constexpr LONG kNotSupported = 438;
constexpr LONG kWrongArguments = 450;
constexpr LONG kNotACollection = 451;
constexpr LONG kUndefined = 500;
constexpr LONG kIllegalAssignment = 501;
constexpr LONG kFixedArray = 10;
constexpr int kMaxCallDepth = 200;

// Calls nest on one thread, across engines (a formula that runs another).
thread_local int t_callDepth = 0;

// Expressions nest too (each call's own are bounded by the parser); all of
// a thread's nesting shares one bound.
thread_local int t_evalDepth = 0;
constexpr int kMaxEvalDepth = 3000;

// Each nesting also stops where the thread's stack is near its end: the
// counts are only an upper bound, the stack a thread has decides.
template <int* Counter(), int Limit>
struct Guard {
    Guard() {
        if (*Counter() >= Limit || StackLow()) RaiseNumber(kOutOfStack);
        ++*Counter();
    }
    ~Guard() { --*Counter(); }
};
int* CallDepth() {
    return &t_callDepth;
}
int* EvalDepth() {
    return &t_evalDepth;
}
using DepthGuard = Guard<CallDepth, kMaxCallDepth>;
using EvalGuard = Guard<EvalDepth, kMaxEvalDepth>;

// A named constant is no variable to make (vbCr = 1, ReDim vbCr(1)).
void RefuseConstant(const std::u16string& name) {
    const Builtin* b = FindBuiltin(name);
    if (b && b->constant) RaiseNumber(kIllegalAssignment);
}

bool IsObject(const VARIANT& v) {
    return v.vt == VT_DISPATCH || v.vt == VT_UNKNOWN;
}

IDispatch* ObjectOf(const Variant& v) {
    if (v.vt != VT_DISPATCH || !v.pdispVal) RaiseNumber(kObjectRequired);
    return v.pdispVal;
}

// The value of an array element of type `base` at `p`.
Variant ElementValue(VARTYPE base, void* p) {
    VARIANT ref;
    ref.vt = VT_BYREF | base;
    ref.byref = p;
    Variant out;
    const HRESULT hr = VariantCopyInd(&out, &ref);
    if (FAILED(hr)) Raise(hr);
    return out;
}

// A value as the text of an Err property.
std::u16string ErrText(const Variant& value) {
    Variant t;
    const HRESULT hr = VariantChangeTypeEx(&t, &value, LOCALE_USER_DEFAULT, 0, VT_BSTR);
    if (FAILED(hr)) Raise(hr);
    return std::u16string(t.bstrVal, SysStringLen(t.bstrVal));
}

// The runtime error a failed Invoke stands for.
[[noreturn]] void RaiseInvokeFailure(HRESULT hr, EXCEPINFO& ei) {
    if (hr != DISP_E_EXCEPTION) {
        SysFreeString(ei.bstrSource), SysFreeString(ei.bstrDescription);
        SysFreeString(ei.bstrHelpFile);
        Raise(hr);
    }
    if (ei.pfnDeferredFillIn) ei.pfnDeferredFillIn(&ei);
    RuntimeError e;
    e.number = ei.scode ? ErrorNumber(ei.scode) : ei.wCode;
    e.description = Bstr::Attach(ei.bstrDescription).view();
    e.source = Bstr::Attach(ei.bstrSource).view();
    e.helpFile = Bstr::Attach(ei.bstrHelpFile).view();
    e.helpContext = static_cast<LONG>(ei.dwHelpContext);
    if (e.description.empty()) e.description = ErrorDescription(e.number);
    throw e;
}

// The operators whose operands are numbers (an object's default value).
bool IsArithmetic(Operator op) {
    return op <= Operator::Sub && op != Operator::Neg;
}

constexpr Comparison kCompare[] = {Comparison::Equal,   Comparison::NotEqual,
                                   Comparison::Less,    Comparison::LessEqual,
                                   Comparison::Greater, Comparison::GreaterEqual};

// An integer result of type `vt` (Integer or Long), or the next wider type
// up to `widest` (Long, or Double past Long); DISP_E_OVERFLOW beyond.
HRESULT StoreWhole(int64_t x, VARTYPE vt, VARTYPE widest, VARIANT* out) {
    if (vt == VT_I2 && x >= INT16_MIN && x <= INT16_MAX) {
        out->vt = VT_I2, out->iVal = static_cast<SHORT>(x);
    } else if (x >= INT32_MIN && x <= INT32_MAX) {
        out->vt = VT_I4, out->lVal = static_cast<LONG>(x);
    } else if (widest == VT_R8) {
        out->vt = VT_R8, out->dblVal = static_cast<double>(x);
    } else {
        return DISP_E_OVERFLOW;
    }
    return S_OK;
}

bool IsWhole(VARTYPE vt) {
    return vt == VT_I2 || vt == VT_I4;
}

int64_t WholeOf(const VARIANT& v) {
    return v.vt == VT_I2 ? v.iVal : v.lVal;
}

// The operators on Integers, Longs and Doubles computed here, with the
// results, types and failures of the general operators; false leaves the
// operation to them.
bool QuickOperate(Operator op, const VARIANT& l, const VARIANT& r, VARIANT* out, HRESULT* hr) {
    const bool whole = IsWhole(l.vt) && IsWhole(r.vt);
    if (!whole && !((IsWhole(l.vt) || l.vt == VT_R8) && (IsWhole(r.vt) || r.vt == VT_R8)))
        return false;
    if (whole) {
        const int64_t a = WholeOf(l), b = WholeOf(r);
        const VARTYPE vt = l.vt == VT_I4 || r.vt == VT_I4 ? VT_I4 : VT_I2;
        switch (op) {
            case Operator::Add:
                return *hr = StoreWhole(a + b, vt, VT_R8, out), true;
            case Operator::Sub:
                return *hr = StoreWhole(a - b, vt, VT_R8, out), true;
            case Operator::Mul:
                return *hr = StoreWhole(a * b, vt, VT_R8, out), true;
            case Operator::Idiv:
            case Operator::Mod:
                if (b == 0) return *hr = DISP_E_DIVBYZERO, true;
                return *hr = StoreWhole(op == Operator::Idiv ? a / b : a % b, vt, VT_I4, out), true;
            case Operator::Eq:
            case Operator::Ne:
            case Operator::Lt:
            case Operator::Le:
            case Operator::Gt:
            case Operator::Ge: {
                static constexpr bool kTruth[][3] = {{false, true, false}, {true, false, true},
                                                     {true, false, false}, {true, true, false},
                                                     {false, false, true}, {false, true, true}};
                const int order = a < b ? 0 : a == b ? 1 : 2;
                out->vt = VT_BOOL;
                out->boolVal = kTruth[static_cast<int>(op) - static_cast<int>(Operator::Eq)][order]
                                   ? VARIANT_TRUE
                                   : VARIANT_FALSE;
                return *hr = S_OK, true;
            }
            default:
                break;
        }
    }
    const double a = l.vt == VT_R8 ? l.dblVal : static_cast<double>(WholeOf(l));
    const double b = r.vt == VT_R8 ? r.dblVal : static_cast<double>(WholeOf(r));
    double x = 0;
    switch (op) {
        case Operator::Add:
            x = a + b;
            break;
        case Operator::Sub:
            x = a - b;
            break;
        case Operator::Mul:
            x = a * b;
            break;
        case Operator::Div:
            if (b == 0.0 && std::isfinite(a))
                return *hr = a == 0.0 ? DISP_E_OVERFLOW : DISP_E_DIVBYZERO, true;
            x = a / b;
            break;
        default:
            return false;
    }
    if (std::isfinite(a) && std::isfinite(b) && !std::isfinite(x))
        return *hr = DISP_E_OVERFLOW, true;
    out->vt = VT_R8, out->dblVal = x;
    return *hr = S_OK, true;
}

// The elements of an array, in all its dimensions.
ULONG ElementCount(const SAFEARRAY* sa) {
    ULONG total = 1;
    for (UINT d = 0; d < sa->cDims; ++d) total *= sa->rgsabound[d].cElements;
    return total;
}

// Copies `from` into `to`; a copy that cannot be made is a run-time error
// (7 when memory runs out), never a value left Empty or as it was.
void CopyInto(VARIANT* to, const VARIANT& from) {
    const HRESULT hr = VariantCopy(to, &from);
    if (FAILED(hr)) Raise(hr);
}

// A copy of a value; one that owns nothing is copied as it stands.
Variant CopyOf(const VARIANT& v) {
    switch (v.vt) {
        case VT_EMPTY:
        case VT_NULL:
        case VT_I2:
        case VT_I4:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_BOOL:
        case VT_UI1: {
            Variant out;
            *static_cast<VARIANT*>(&out) = v;
            return out;
        }
        default: {
            Variant out;
            CopyInto(&out, v);
            return out;
        }
    }
}

bool IsNumber(VARTYPE vt) {
    return vt == VT_I2 || vt == VT_I4 || vt == VT_R8;
}

// An object's default value read for an operator; most are numbers, which
// hold nothing to free.
struct DefaultValue {
    VARIANT value;
    DefaultValue() { value.vt = VT_EMPTY; }
    ~DefaultValue() {
        if (!IsNumber(value.vt)) VariantClear(&value);
    }
    DefaultValue(const DefaultValue&) = delete;
    DefaultValue& operator=(const DefaultValue&) = delete;
};

// The order of two Integers, Longs or Doubles (none NaN) as VarCmp gives
// it; false for any other pair.
bool QuickOrder(const VARIANT& l, const VARIANT& r, HRESULT* order) {
    const bool whole = IsWhole(l.vt) && IsWhole(r.vt);
    if (!whole && !((IsWhole(l.vt) || l.vt == VT_R8) && (IsWhole(r.vt) || r.vt == VT_R8)))
        return false;
    if (whole) {
        const int64_t a = WholeOf(l), b = WholeOf(r);
        *order = a < b ? VARCMP_LT : a == b ? VARCMP_EQ : VARCMP_GT;
        return true;
    }
    const double a = l.vt == VT_R8 ? l.dblVal : static_cast<double>(WholeOf(l));
    const double b = r.vt == VT_R8 ? r.dblVal : static_cast<double>(WholeOf(r));
    if (std::isnan(a) || std::isnan(b)) return false;
    *order = a < b ? VARCMP_LT : a == b ? VARCMP_EQ : VARCMP_GT;
    return true;
}

}  // namespace

[[noreturn]] void RaiseNumber(LONG number) {
    throw RuntimeError{number, std::u16string(ErrorDescription(number))};
}

[[noreturn]] void Raise(HRESULT failure) {
    RaiseNumber(ErrorNumber(failure));
}

Interpreter::Interpreter(ScriptHost* host, uint64_t budget) : host_(host), budget_(budget) {
    frames_.push_back(&global_);
}

Interpreter::~Interpreter() = default;

void Interpreter::Clear() {
    members_.clear();
    bound_.clear();
    global_.own.clear();
    procedures_.clear();
    programs_.clear();
}

void Interpreter::Reset(uint64_t budget) {
    Clear();
    budget_ = budget;
    executed_ = 0;
    frames_.assign(1, &global_);
    global_.proc = nullptr;
    global_.locals.clear();
    global_.result = Slot{};
    global_.resumeNext = false;
    builtinState_ = BuiltinState{};
    explicit_ = false;
    err_ = ErrState{};
}

void Interpreter::Run(std::shared_ptr<const Program> program) {
    explicit_ = explicit_ || program->explicitNames;
    for (const auto& p : program->procedures) procedures_[p->name] = p.get();
    const Program& code = *program;
    programs_.push_back(std::move(program));
    frames_.assign(1, &global_);
    global_.resumeNext = false;
    // A program run from inside another (through an object) binds its own ids.
    struct Bindings {
        std::vector<Bound>& bound;
        std::vector<Bound> outer;
        ~Bindings() { bound = std::move(outer); }
    } bindings{bound_, std::move(bound_)};
    bound_.assign(code.names, Bound{});
    try {
        ExecBlock(code.code);
    } catch (...) {
        members_.clear();
        throw;
    }
    members_.clear();
}

// ---- statements -------------------------------------------------------------

Interpreter::Flow Interpreter::ExecBlock(const Block& block) {
    for (const auto& s : block) {
        const Flow f = Exec(*s);
        if (f != Flow::Normal) return f;
    }
    return Flow::Normal;
}

// One unit of the statement budget: each statement, and each round of a
// loop, so that a loop with an empty body stops too.
void Interpreter::Charge() {
    if (budget_ && ++executed_ > budget_) {
        RuntimeError e{static_cast<LONG>(E_ABORT), u"Script stopped: statement budget exhausted"};
        e.fatal = true;
        throw e;
    }
}

Interpreter::Flow Interpreter::Exec(const Stmt& s) {
    try {
        Charge();
        // Every nested block passes here: a recursion through blocks (a
        // call inside loops inside loops) stops at the statement where the
        // stack runs low, as a call or an expression does.
        if (StackLow()) RaiseNumber(kOutOfStack);
        return ExecUnguarded(s);
    } catch (RuntimeError& e) {
        if (!e.placed) e.at = s.at, e.placed = true;
        if (e.fatal || !frames_.back()->resumeNext) throw;
        err_ = {e.number, e.description, e.source, e.helpFile, e.helpContext};
        return Flow::Normal;
    }
}

Interpreter::Flow Interpreter::ExecUnguarded(const Stmt& s) {
    switch (s.kind) {
        case Stmt::Kind::Assign: {
            if (AppendInPlace(*s.target, *s.value)) return Flow::Normal;
            bool refused = false;
            if (AssignQuick(*s.target, *s.value, &refused)) return Flow::Normal;
            // A value the quick road refused would be refused again.
            Assign(*s.target, refused ? EvalGeneral(*s.value) : Eval(*s.value), false);
            return Flow::Normal;
        }
        case Stmt::Kind::Set:
            Assign(*s.target, Eval(*s.value), true);
            return Flow::Normal;
        case Stmt::Kind::Call:
            EvalRef(*s.target);
            return Flow::Normal;
        case Stmt::Kind::Dim:
            Dim(s);
            return Flow::Normal;
        case Stmt::Kind::ReDim:
            ReDim(s);
            return Flow::Normal;
        case Stmt::Kind::Erase:
            // Each in order: a failure stops the statement there.
            for (const ExprPtr& a : s.arrays) Erase(*a);
            return Flow::Normal;
        case Stmt::Kind::Const: {
            Frame& f = *frames_.back();
            for (const auto& [name, value] : s.consts) {
                Slot& slot = OwnSlot(f, name);
                if (slot.isConst) RaiseNumber(kIllegalAssignment);
                slot.value = Eval(*value);
                slot.isConst = true;
            }
            return Flow::Normal;
        }
        case Stmt::Kind::If:
            for (const CaseClause& c : s.branches)
                if (c.values.empty() || Truth(Eval(*c.values[0]))) return ExecBlock(c.body);
            return Flow::Normal;
        case Stmt::Kind::Select: {
            const Variant v = Eval(*s.value);
            for (const CaseClause& c : s.branches) {
                bool match = c.values.empty();
                for (size_t i = 0; i < c.values.size() && !match; ++i) {
                    const HRESULT order = CompareValues(v, Eval(*c.values[i]));
                    if (FAILED(order)) Raise(order);
                    match = order == VARCMP_EQ;
                }
                if (match) return ExecBlock(c.body);
            }
            return Flow::Normal;
        }
        case Stmt::Kind::For:
            return ExecFor(s);
        case Stmt::Kind::ForEach:
            return ExecForEach(s);
        case Stmt::Kind::DoLoop:
            return ExecDo(s);
        case Stmt::Kind::ExitDo:
            return Flow::ExitDo;
        case Stmt::Kind::ExitFor:
            return Flow::ExitFor;
        case Stmt::Kind::ExitFunction:
        case Stmt::Kind::ExitSub:
            return Flow::ExitProc;
        case Stmt::Kind::ResumeNext:
            frames_.back()->resumeNext = true;
            err_ = {};
            return Flow::Normal;
        case Stmt::Kind::GoTo0:
            frames_.back()->resumeNext = false;
            err_ = {};
            return Flow::Normal;
    }
    return Flow::Normal;
}

Interpreter::Flow Interpreter::ExecFor(const Stmt& s) {
    Variant start = Eval(*s.value), limit = Eval(*s.limit);
    Variant step;
    step.vt = VT_I2, step.iVal = 1;
    if (s.step) step = Eval(*s.step);
    // The bounds are numbers: text is read as one.
    for (Variant* v : {&start, &limit, &step}) {
        if (v->vt != VT_BSTR && v->vt != VT_DISPATCH) continue;
        const HRESULT hr = VariantChangeTypeEx(v, v, LOCALE_USER_DEFAULT, 0, VT_R8);
        if (FAILED(hr)) Raise(hr);
    }
    Variant zero;
    zero.vt = VT_I2, zero.iVal = 0;
    const HRESULT direction = CompareValues(step, zero);
    if (FAILED(direction)) Raise(direction);
    Assign(*s.target, start, false);
    // A counter that is a variable holding a number is read, compared and
    // stepped in place, as the general path below would do it.
    const bool plain = !s.target->left && s.target->args.empty();
    while (true) {
        Slot* slot = nullptr;
        Variant* counter = plain ? FindVariable(*s.target, &slot) : nullptr;
        HRESULT order = S_OK;
        if (!counter || !QuickOrder(*counter, limit, &order)) {
            const Variant current = EvalRef(*s.target);
            order = CompareValues(current, limit);
        }
        if (FAILED(order)) Raise(order);
        if (order == VARCMP_NULL) RaiseNumber(kErrorInvalidUseOfNull);
        if (direction == VARCMP_LT ? order == VARCMP_LT : order == VARCMP_GT) break;
        Charge();
        const Flow f = ExecBlock(s.body);
        if (f == Flow::ExitFor) break;
        if (f != Flow::Normal) return f;
        counter = plain ? FindVariable(*s.target, &slot) : nullptr;
        VARIANT stepped;
        HRESULT hr = S_OK;
        // A number stepped to a number: nothing to free on either side.
        if (counter && !(slot && slot->isConst) &&
            QuickOperate(Operator::Add, *counter, step, &stepped, &hr)) {
            if (FAILED(hr)) Raise(hr);
            *static_cast<VARIANT*>(counter) = stepped;
            continue;
        }
        Variant now = EvalRef(*s.target), next;
        hr = VarAdd(&now, &step, &next);
        if (FAILED(hr)) Raise(hr);
        Assign(*s.target, std::move(next), false);
    }
    return Flow::Normal;
}

Interpreter::Flow Interpreter::ExecForEach(const Stmt& s) {
    const Variant collection = Eval(*s.value);
    Expr var;
    var.kind = Expr::Kind::Ref;
    var.name = s.name;
    var.at = s.at;
    auto body = [&](const VARIANT& item) {
        Charge();
        Variant* slot = FindVariable(s.name, nullptr);
        if (!slot) slot = DeclareImplicit(s.name, var);
        CopyInto(slot, item);
        return ExecBlock(s.body);
    };
    if (collection.vt & VT_ARRAY) {
        SAFEARRAY* sa = collection.parray;
        if (!sa) return Flow::Normal;
        // A copy: the body may change or replace the array.
        SAFEARRAY* copy = nullptr;
        HRESULT hr = SafeArrayCopy(sa, &copy);
        if (FAILED(hr)) Raise(hr);
        Variant owner;
        owner.vt = VT_ARRAY | VT_VARIANT, owner.parray = copy;
        const ULONG total = ElementCount(copy);
        auto* items = static_cast<char*>(copy->pvData);
        for (ULONG i = 0; i < total; ++i) {
            const Flow f =
                body(ElementValue(collection.vt & VT_TYPEMASK, items + i * copy->cbElements));
            if (f == Flow::ExitFor) break;
            if (f != Flow::Normal) return f;
        }
        return Flow::Normal;
    }
    if (collection.vt != VT_DISPATCH || !collection.pdispVal) RaiseNumber(kNotACollection);
    const std::vector<ExprPtr> none;
    Variant enumerator;
    try {
        enumerator = Invoke(collection.pdispVal, DISPID_NEWENUM,
                            DISPATCH_METHOD | DISPATCH_PROPERTYGET, none);
    } catch (RuntimeError&) {
        RaiseNumber(kNotACollection);
    }
    ComPtr<IEnumVARIANT> items;
    if (!IsObject(enumerator) || !enumerator.punkVal ||
        FAILED(enumerator.punkVal->QueryInterface(IID_IEnumVARIANT, items.PutVoid())))
        RaiseNumber(kNotACollection);
    while (true) {
        Variant item;
        ULONG fetched = 0;
        if (items->Next(1, &item, &fetched) != S_OK || fetched != 1) break;
        const Flow f = body(item);
        if (f == Flow::ExitFor) break;
        if (f != Flow::Normal) return f;
    }
    return Flow::Normal;
}

Interpreter::Flow Interpreter::ExecDo(const Stmt& s) {
    auto proceed = [&] { return !s.value || Truth(Eval(*s.value)) != s.until; };
    while (true) {
        if (s.testFirst && !proceed()) break;
        Charge();
        const Flow f = ExecBlock(s.body);
        if (f == Flow::ExitDo) break;
        if (f != Flow::Normal) return f;
        if (!s.testFirst && !proceed()) break;
    }
    return Flow::Normal;
}

namespace {

// A Variant array of the given upper bounds (lower bounds 0).
Variant MakeArray(const std::vector<LONG>& upper) {
    std::vector<SAFEARRAYBOUND> bounds;
    for (const LONG u : upper) {
        if (u < -1) RaiseNumber(kErrorSubscriptOutOfRange);
        bounds.push_back({static_cast<ULONG>(u + 1), 0});
    }
    Variant v;
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = SafeArrayCreate(VT_VARIANT, static_cast<UINT>(bounds.size()), bounds.data());
    if (!v.parray) RaiseNumber(kErrorOutOfMemory);
    return v;
}

}  // namespace

void Interpreter::Dim(const Stmt& s) {
    Frame& f = *frames_.back();
    for (const DimItem& d : s.dims) {
        // A declaration runs once: executed again (in a loop) it keeps the value.
        Slot& slot = OwnSlot(f, d.name);
        const bool again = std::exchange(slot.dimmed, true);
        if (!d.array || again) continue;
        if (d.bounds.empty()) {
            slot.value.Clear();
            slot.value.vt = VT_ARRAY | VT_VARIANT;
            slot.value.parray = nullptr;
            continue;
        }
        std::vector<LONG> upper;
        for (const ExprPtr& b : d.bounds) upper.push_back(Index(Eval(*b)));
        slot.value = MakeArray(upper);
        slot.fixed = true;
    }
}

void Interpreter::ReDim(const Stmt& s) {
    for (const DimItem& d : s.dims) {
        // Fixed through a ByRef parameter too; a Const only under its own name.
        bool own = false;
        Slot* kept = FindSlot(d.name, &own);
        Variant* var = kept ? &kept->value : nullptr;
        if (!var) {
            RefuseConstant(d.name);
            if (explicit_) RaiseNumber(kUndefined);
            var = &frames_.back()->own[d.name].value;
        }
        if (kept && (kept->fixed || (own && kept->isConst))) RaiseNumber(kFixedArray);
        std::vector<LONG> upper;
        for (const ExprPtr& b : d.bounds) upper.push_back(Index(Eval(*b)));
        Variant fresh = MakeArray(upper);
        if (s.preserve && (var->vt & VT_ARRAY) && var->parray) {
            SAFEARRAY* old = var->parray;
            // Only the last dimension may change, as the language allows.
            if (old->cDims != upper.size()) RaiseNumber(kErrorSubscriptOutOfRange);
            for (UINT dim = 1; dim < old->cDims; ++dim)
                if (old->rgsabound[dim].cElements != fresh.parray->rgsabound[dim].cElements)
                    RaiseNumber(kErrorSubscriptOutOfRange);
            ULONG inner = 1;
            for (UINT dim = 1; dim < old->cDims; ++dim) inner *= old->rgsabound[dim].cElements;
            const ULONG keep =
                inner * std::min(old->rgsabound[0].cElements, fresh.parray->rgsabound[0].cElements);
            auto* from = static_cast<VARIANT*>(old->pvData);
            auto* to = static_cast<VARIANT*>(fresh.parray->pvData);
            for (ULONG i = 0; i < keep; ++i) CopyInto(&to[i], from[i]);
        }
        *var = std::move(fresh);
    }
}

// A fixed-size array keeps its bounds with every element Empty, erased
// through a ByRef parameter too; any other array is freed, leaving an array
// without elements (as Dim a() makes).
void Interpreter::Erase(const Expr& variable) {
    bool own = false;
    Slot* kept = FindSlot(variable.name, &own);
    Variant* var = kept ? &kept->value : nullptr;
    if (!var) {
        // No variable: undeclared, Option Explicit refuses the name first.
        if (explicit_ && !FindProcedure(variable.name) && !host_->HasItem(variable.name))
            DeclareImplicit(variable.name, variable);
        RaiseNumber(kErrorTypeMismatch);
    }
    if (!(var->vt & VT_ARRAY)) RaiseNumber(kErrorTypeMismatch);
    if (own && kept->isConst) RaiseNumber(kIllegalAssignment);
    SAFEARRAY* sa = var->parray;
    if (kept && kept->fixed && sa && var->vt == (VT_ARRAY | VT_VARIANT)) {
        const ULONG total = ElementCount(sa);
        auto* items = static_cast<VARIANT*>(sa->pvData);
        for (ULONG i = 0; i < total; ++i) VariantClear(&items[i]);
        return;
    }
    const VARTYPE vt = var->vt;
    var->Clear();
    var->vt = vt;
    var->parray = nullptr;
}

// ---- expressions --------------------------------------------------------------

bool Interpreter::Truth(const Variant& v) {
    bool truth = false;
    const HRESULT hr = IsTrue(v, &truth);
    if (FAILED(hr)) Raise(hr);
    return truth;
}

LONG Interpreter::Index(const Variant& v) {
    LONG index = 0;
    const HRESULT hr = ToIndex(v, &index);
    if (FAILED(hr)) Raise(hr);
    return index;
}

Variant Interpreter::Operate(Operator op, const VARIANT& l, const VARIANT& r) {
    VARIANT* a = const_cast<VARIANT*>(&l);
    VARIANT* b = const_cast<VARIANT*>(&r);
    Variant out;
    DefaultValue left, right;
    HRESULT hr = S_OK;
    if (IsArithmetic(op)) {
        // An object stands for its default value, fetched once here as the
        // operator would fetch it (left first, its failure the operator's).
        if (l.vt == VT_DISPATCH) {
            hr = convert::ResolveValue(l, LOCALE_USER_DEFAULT, &left.value);
            if (FAILED(hr)) Raise(hr);
            a = &left.value;
        }
        if (r.vt == VT_DISPATCH) {
            hr = convert::ResolveValue(r, LOCALE_USER_DEFAULT, &right.value);
            if (FAILED(hr)) Raise(hr);
            b = &right.value;
        }
    }
    if (QuickOperate(op, *a, *b, &out, &hr)) {
        if (FAILED(hr)) Raise(hr);
        return out;
    }
    switch (op) {
        case Operator::Pow:
            hr = VarPow(a, b, &out);
            break;
        case Operator::Mul:
            hr = VarMul(a, b, &out);
            break;
        case Operator::Div:
            hr = VarDiv(a, b, &out);
            break;
        case Operator::Idiv:
            hr = VarIdiv(a, b, &out);
            break;
        case Operator::Mod:
            hr = VarMod(a, b, &out);
            break;
        case Operator::Add:
            hr = VarAdd(a, b, &out);
            break;
        case Operator::Sub:
            hr = VarSub(a, b, &out);
            break;
        case Operator::Cat:
            hr = VarCat(a, b, &out);
            break;
        case Operator::And:
            hr = VarAnd(a, b, &out);
            break;
        case Operator::Or:
            hr = VarOr(a, b, &out);
            break;
        case Operator::Xor:
            hr = VarXor(a, b, &out);
            break;
        case Operator::Is:
            if (!IsObject(l) || !IsObject(r)) RaiseNumber(kObjectRequired);
            return Variant(l.punkVal == r.punkVal);
        default: {
            hr = Compare(kCompare[static_cast<int>(op) - static_cast<int>(Operator::Eq)], l, r,
                         &out);
            break;
        }
    }
    if (FAILED(hr)) Raise(hr);
    return out;
}

// An expression of numbers only (Integers, Longs, Doubles in literals and
// in variables read by a plain name) under the operators computed here is
// computed on plain VARIANTs, in the order and with the failures of the
// general road. Reading such a tree does nothing else, so where some part
// is not of that kind (false) the general road evaluates the whole again
// and sees what this one saw.
bool Interpreter::Quick(const Expr& e, VARIANT* out) {
    switch (e.kind) {
        case Expr::Kind::Literal:
            if (!IsNumber(e.value.vt)) return quickMiss_ = &e, false;
            *out = e.value;
            return true;
        case Expr::Kind::Ref: {
            if (e.left || !e.args.empty() || e.parens) return quickMiss_ = &e, false;
            const Variant* v = FindVariable(e, nullptr);
            if (!v || !IsNumber(v->vt)) return quickMiss_ = &e, false;
            *out = *v;
            return true;
        }
        case Expr::Kind::Binary: {
            // Near the stack's end the general road takes the tree and stops.
            if (StackLow()) return false;
            VARIANT l, r;
            if (!Quick(*e.left, &l) || !Quick(*e.right, &r)) return false;
            HRESULT hr = S_OK;
            if (!QuickOperate(e.op, l, r, out, &hr)) return false;
            if (FAILED(hr)) Raise(hr);
            return true;
        }
        default:
            return false;
    }
}

// The quick road for a whole expression, taken only where the general
// road's nesting bound could not be reached inside it.
bool Interpreter::QuickRoot(const Expr& e, VARIANT* out) {
    quickMiss_ = nullptr;
    return e.depth < kMaxEvalDepth - t_evalDepth && Quick(e, out);
}

// Whether the quick road, tried on `e` now, would give up at once: it
// begins with the name or literal where it last gave up, and nothing ran
// since. Only a shortcut: the general road gives what the quick one would.
bool Interpreter::QuickMisses(const Expr& e) const {
    const Expr* first = &e;
    while (first->kind == Expr::Kind::Binary) first = first->left.get();
    return first == quickMiss_;
}

// An operand. A named item alone, where `view` is given, is borrowed there
// (the engine holds its object for the run) and the result is Empty: the
// operator reads its default value as it would read a copy's.
Variant Interpreter::Operand(const Expr& e, VARIANT* view) {
    if (e.kind == Expr::Kind::Ref && !e.left && e.args.empty()) return EvalRef(e, view);
    if (e.kind == Expr::Kind::Binary && QuickMisses(e)) return EvalGeneral(e);
    return Eval(e);
}

Variant Interpreter::QuickOrEval(const Expr& e) {
    Variant out;
    if (QuickRoot(e, &out)) return out;
    return EvalGeneral(e);
}

Variant Interpreter::Eval(const Expr& e) {
    if (e.kind == Expr::Kind::Literal) return CopyOf(e.value);
    // A name alone nests no further expression (a procedure it calls is
    // bounded by the call depth).
    if (e.kind == Expr::Kind::Ref && !e.left && e.args.empty()) return EvalRef(e);
    if (e.kind == Expr::Kind::Binary) return QuickOrEval(e);
    return EvalGeneral(e);
}

Variant Interpreter::EvalGeneral(const Expr& e) {
    EvalGuard nest;
    switch (e.kind) {
        case Expr::Kind::Literal:
            return e.value;
        case Expr::Kind::Missing: {
            Variant v;
            v.vt = VT_ERROR, v.scode = DISP_E_PARAMNOTFOUND;
            return v;
        }
        case Expr::Kind::Unary: {
            Variant v = Eval(*e.left), out;
            const HRESULT hr = e.op == Operator::Neg ? VarNeg(&v, &out) : VarNot(&v, &out);
            if (FAILED(hr)) Raise(hr);
            return out;
        }
        case Expr::Kind::Binary: {
            if (!IsArithmetic(e.op)) {
                const Variant l = Operand(*e.left, nullptr);
                return Operate(e.op, l, Eval(*e.right));
            }
            // The left operand's object is read after the right operand is
            // found: borrowed only where that runs nothing (a literal, or a
            // name of no procedure); the right one's, right away.
            const Expr& right = *e.right;
            const bool inert = right.kind == Expr::Kind::Literal ||
                               (right.kind == Expr::Kind::Ref && !right.left &&
                                right.args.empty() && !right.parens && !FindProcedure(right.name));
            VARIANT leftView, rightView;
            leftView.vt = rightView.vt = VT_EMPTY;
            const Variant l = Operand(*e.left, inert ? &leftView : nullptr);
            const Variant r = Operand(right, &rightView);
            const VARIANT& lv =
                leftView.vt == VT_DISPATCH ? leftView : static_cast<const VARIANT&>(l);
            const VARIANT& rv =
                rightView.vt == VT_DISPATCH ? rightView : static_cast<const VARIANT&>(r);
            return Operate(e.op, lv, rv);
        }
        case Expr::Kind::Ref:
            return EvalRef(e);
    }
    return {};
}

// The slot a Dim or Const of the running frame makes or finds.
Interpreter::Slot& Interpreter::OwnSlot(Frame& f, const std::u16string& name) {
    if (f.proc)
        if (const int i = f.proc->Declared(name); i >= 0) return f.locals[i].own;
    return f.own[name];
}

Variant* Interpreter::LocalVariable(Local& l, Slot** slotOut) {
    if (slotOut) *slotOut = l.byRef ? nullptr : &l.own;
    return l.byRef ? &l.byRef->value : &l.own.value;
}

Variant* Interpreter::FindVariable(const std::u16string& name, Slot** slotOut) {
    bool own = false;
    Slot* slot = FindSlot(name, &own);
    if (slotOut) *slotOut = own ? slot : nullptr;
    return slot ? &slot->value : nullptr;
}

Interpreter::Slot* Interpreter::FindSlot(const std::u16string& name, bool* own) {
    *own = false;
    Frame& f = *frames_.back();
    if (f.proc)
        if (const int i = f.proc->Declared(name); i >= 0) {
            Local& l = f.locals[i];
            if (l.byRef) return l.byRef;
            *own = true;
            return &l.own;
        }
    if (auto it = f.own.find(name); it != f.own.end()) {
        *own = true;
        return &it->second;
    }
    if (f.proc && f.proc->function && f.proc->name == name) return &f.result;
    if (&f != &global_) {
        if (auto it = global_.own.find(name); it != global_.own.end()) {
            *own = true;
            return &it->second;
        }
    }
    return nullptr;
}

Variant* Interpreter::FindVariable(const Expr& ref, Slot** slotOut) {
    Frame& f = *frames_.back();
    if (&f != &global_) {
        // A procedure runs its own references: a declared name is at its index.
        if (ref.local && f.proc && ref.local <= f.locals.size() &&
            f.proc->declared[ref.local - 1] == ref.name)
            return LocalVariable(f.locals[ref.local - 1], slotOut);
        return FindVariable(ref.name, slotOut);
    }
    // Global code runs only the running program's references; most make
    // no variable of their own.
    if (global_.own.empty()) {
        if (slotOut) *slotOut = nullptr;
        return nullptr;
    }
    if (ref.id == 0 || ref.id > bound_.size()) return FindVariable(ref.name, slotOut);
    Bound& bound = bound_[ref.id - 1];
    if (!bound.slot) {
        const size_t absentAt = global_.own.size() + 1;
        auto it = bound.absentAt == absentAt ? global_.own.end() : global_.own.find(ref.name);
        if (it == global_.own.end()) {
            bound.absentAt = absentAt;
            if (slotOut) *slotOut = nullptr;
            return nullptr;
        }
        bound.slot = &it->second;
    }
    if (slotOut) *slotOut = bound.slot;
    return &bound.slot->value;
}

Variant* Interpreter::DeclareImplicit(const std::u16string& name, const Expr& at) {
    RefuseConstant(name);
    if (explicit_) {
        RuntimeError e{kUndefined,
                       std::u16string(ErrorDescription(kUndefined)) + u": '" + at.spelling + u"'"};
        throw e;
    }
    return &frames_.back()->own[name].value;
}

const Procedure* Interpreter::FindProcedure(const std::u16string& name) const {
    if (procedures_.empty()) return nullptr;  // most formulas declare none
    auto it = procedures_.find(name);
    return it == procedures_.end() ? nullptr : it->second;
}

// The object of the named item of a name, null where there is no such item.
IDispatch* Interpreter::Item(const std::u16string& name) {
    IDispatch* item = nullptr;
    const HRESULT found = host_->FindItem(name, &item);
    if (found == S_FALSE) return nullptr;
    if (FAILED(found) || !item) RaiseNumber(kObjectRequired);
    return item;
}

bool Interpreter::IsErrObject(const Expr& e) {
    return !e.left && e.name == u"err" && !FindVariable(e.name, nullptr) &&
           !FindProcedure(e.name) && !host_->HasItem(e.name);
}

std::vector<LONG> Interpreter::Indexes(const std::vector<ExprPtr>& args) {
    std::vector<LONG> indexes;
    indexes.reserve(args.size());
    for (const ExprPtr& a : args) indexes.push_back(Index(Eval(*a)));
    return indexes;
}

// The array a reference's variable holds once its indexes are evaluated:
// they may have called a procedure that resized, replaced or emptied it.
// `variants`: it must be an array of Variants (its element is written).
Variant& Interpreter::ArrayAfterIndexes(const Expr& ref, bool variants) {
    Variant* v = FindVariable(ref, nullptr);
    if (!v || !(v->vt & VT_ARRAY) || (variants && v->vt != (VT_ARRAY | VT_VARIANT)))
        Raise(DISP_E_TYPEMISMATCH);
    return *v;
}

void* Interpreter::Element(const Variant& array, std::vector<LONG>& indexes) {
    SAFEARRAY* sa = array.parray;
    void* p = nullptr;
    if (!sa || sa->cDims != indexes.size() || FAILED(SafeArrayPtrOfIndex(sa, indexes.data(), &p)))
        RaiseNumber(kErrorSubscriptOutOfRange);
    return p;
}

Variant Interpreter::EvalRef(const Expr& e, VARIANT* borrowed) {
    if (e.left) return EvalMember(e);
    // With arguments, a function's own name inside it is a call, not its result.
    const bool called = e.parens || !e.args.empty();
    const Procedure* proc = called ? FindProcedure(e.name) : nullptr;
    if (proc) return CallProcedure(*proc, e.args);
    if (Variant* v = FindVariable(e, nullptr)) {
        if (e.args.empty() && !(e.parens && v->vt == VT_DISPATCH)) return CopyOf(*v);
        // The indexes or arguments go first; the array or object is taken
        // after them, from what the variable then holds.
        if (v->vt & VT_ARRAY) {
            std::vector<LONG> indexes = Indexes(e.args);
            const Variant& array = ArrayAfterIndexes(e, false);
            return ElementValue(array.vt & VT_TYPEMASK, Element(array, indexes));
        }
        if (v->vt == VT_DISPATCH)
            return Invoke(nullptr, DISPID_VALUE, DISPATCH_METHOD | DISPATCH_PROPERTYGET, e.args,
                          nullptr, &e);
        Raise(DISP_E_TYPEMISMATCH);
    }
    if (!called) proc = FindProcedure(e.name);
    if (proc) return CallProcedure(*proc, e.args);
    if (IDispatch* item = Item(e.name)) {
        if (e.args.empty() && !e.parens) {
            if (borrowed) {
                borrowed->vt = VT_DISPATCH, borrowed->pdispVal = item;
                return {};
            }
            Variant v;
            v.vt = VT_DISPATCH, v.pdispVal = item;
            item->AddRef();
            return v;
        }
        return Invoke(item, DISPID_VALUE, DISPATCH_METHOD | DISPATCH_PROPERTYGET, e.args);
    }
    if (IsErrObject(e)) {
        Variant v;
        v.vt = VT_I4, v.lVal = err_.number;
        return v;
    }
    if (const Builtin* b = FindBuiltin(e.name)) return CallBuiltin(*b, e.args);
    if (!e.args.empty() || e.parens) Raise(DISP_E_TYPEMISMATCH);
    return *DeclareImplicit(e.name, e);
}

Variant Interpreter::ErrMember(const Expr& e) {
    Variant v;
    if (e.name == u"number") {
        v.vt = VT_I4, v.lVal = err_.number;
    } else if (e.name == u"description") {
        v = Variant(std::u16string_view(err_.description));
    } else if (e.name == u"source") {
        v = Variant(std::u16string_view(err_.source));
    } else if (e.name == u"helpfile") {
        v = Variant(std::u16string_view(err_.helpFile));
    } else if (e.name == u"helpcontext") {
        v.vt = VT_I4, v.lVal = err_.helpContext;
    } else if (e.name == u"clear") {
        err_ = {};
    } else if (e.name == u"raise") {
        // Number, source, description, help file, help context.
        if (e.args.empty() || e.args.size() > 5 || e.args[0]->kind == Expr::Kind::Missing)
            RaiseNumber(kWrongArguments);
        RuntimeError r;
        // An HRESULT stands for the language's error it maps to; 0 is no error.
        r.number = ErrorNumber(Index(Eval(*e.args[0])));
        if (r.number == 0) RaiseNumber(kErrorInvalidProcedureCall);
        auto given = [&](size_t i) {
            return i < e.args.size() && e.args[i]->kind != Expr::Kind::Missing;
        };
        // Without a source, description, help file or help context of its
        // own, an error keeps those of the error not yet cleared, or else
        // takes its number's description.
        const bool pending = err_.number != 0;
        if (given(1))
            r.source = ErrText(Eval(*e.args[1]));
        else if (pending)
            r.source = err_.source;
        if (given(2))
            r.description = ErrText(Eval(*e.args[2]));
        else if (pending && !err_.description.empty())
            r.description = err_.description;
        else
            r.description = ErrorDescription(r.number);
        if (r.description.empty()) r.description = u"Unknown runtime error";
        if (given(3))
            r.helpFile = ErrText(Eval(*e.args[3]));
        else if (pending)
            r.helpFile = err_.helpFile;
        if (given(4))
            r.helpContext = Index(Eval(*e.args[4]));
        else if (pending)
            r.helpContext = err_.helpContext;
        throw r;
    } else {
        RaiseNumber(kNotSupported);
    }
    return v;
}

// Err.Number, Description, Source, HelpFile and HelpContext take what is
// assigned to them.
void Interpreter::ErrAssign(const Expr& target, const Variant& value) {
    if (!target.args.empty()) RaiseNumber(kWrongArguments);
    if (target.name == u"number")
        err_.number = Index(value);
    else if (target.name == u"description")
        err_.description = ErrText(value);
    else if (target.name == u"source")
        err_.source = ErrText(value);
    else if (target.name == u"helpfile")
        err_.helpFile = ErrText(value);
    else if (target.name == u"helpcontext")
        err_.helpContext = Index(value);
    else
        RaiseNumber(kNotSupported);
}

Variant Interpreter::EvalMember(const Expr& e) {
    if (IsErrObject(*e.left)) return ErrMember(e);
    const Variant object = Eval(*e.left);
    IDispatch* d = ObjectOf(object);
    return Invoke(d, Member(d, e), DISPATCH_METHOD | DISPATCH_PROPERTYGET, e.args);
}

DISPID Interpreter::Member(IDispatch* obj, const Expr& e) {
    auto key = std::make_pair(obj, e.name);
    if (auto it = members_.find(key); it != members_.end()) return it->second.second;
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(e.spelling.c_str())};
    const HRESULT hr = obj->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) Raise(hr);
    members_.emplace(std::move(key), std::make_pair(ComPtr<IDispatch>(obj), id));
    return id;
}

// `holder`, where given instead of `obj`, is the reference of the variable
// that holds the object: read only once the arguments are evaluated, which
// may replace it.
Variant Interpreter::Invoke(IDispatch* obj, DISPID id, WORD flags, const std::vector<ExprPtr>& args,
                            const VARIANT* put, const Expr* holder) {
    // A member may run another script (a formula reference): it nests as a call.
    DepthGuard depth;
    // Arguments go in reverse order: a variable by reference, so that the
    // member can write it back; an object as itself; anything else by value.
    const size_t count = args.size() + (put ? 1 : 0);
    std::vector<Variant> values(args.size());
    // The few arguments of most calls are passed from here, not the heap.
    VARIANT inPlace[4] = {};
    std::vector<VARIANT> onHeap(count > std::size(inPlace) ? count : 0);
    VARIANT* passed = onHeap.empty() ? inPlace : onHeap.data();
    for (size_t i = 0; i < args.size(); ++i) {
        const Expr& a = *args[i];
        VARIANT& slot = passed[count - 1 - i];
        Variant* var = nullptr;
        if (a.kind == Expr::Kind::Ref && !a.left && a.args.empty() && !a.parens && !a.grouped)
            var = FindVariable(a.name, nullptr);
        if (var) {
            slot.vt = VT_BYREF | VT_VARIANT;
            slot.pvarVal = var;
            continue;
        }
        values[i] = Eval(a);
        slot = values[i];
    }
    ComPtr<IDispatch> held;  // the variable may be reassigned through a by-reference argument
    if (holder) {
        const Variant* v = FindVariable(*holder, nullptr);
        if (!v) RaiseNumber(kObjectRequired);
        held = ComPtr<IDispatch>(ObjectOf(*v));
        obj = held.get();
    }
    DISPID named = DISPID_PROPERTYPUT;
    if (put) passed[0] = *put;
    DISPPARAMS dp{count ? passed : nullptr, put ? &named : nullptr, static_cast<UINT>(count),
                  put ? 1u : 0u};
    Variant result;
    EXCEPINFO ei{};
    UINT argErr = 0;
    const HRESULT hr = obj->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &dp,
                                   put ? nullptr : &result, &ei, &argErr);
    if (FAILED(hr)) RaiseInvokeFailure(hr, ei);
    return result;
}

void Interpreter::Assign(const Expr& target, Variant value, bool set) {
    if (set && !IsObject(value)) RaiseNumber(kObjectRequired);
    if (!set && value.vt == VT_DISPATCH) {
        // Let assigns an object's default value.
        Variant plain;
        const HRESULT hr = convert::ResolveValue(value, LOCALE_USER_DEFAULT, &plain);
        if (FAILED(hr)) RaiseNumber(value.pdispVal ? kNotSupported : kObjectRequired);
        value = std::move(plain);
    }
    if (target.left && IsErrObject(*target.left)) return ErrAssign(target, value);
    const WORD putKind = set ? DISPATCH_PROPERTYPUTREF : DISPATCH_PROPERTYPUT;
    if (target.left) {
        const Variant object = Eval(*target.left);
        IDispatch* d = ObjectOf(object);
        Invoke(d, Member(d, target), putKind, target.args, &value);
        return;
    }
    Slot* slot = nullptr;
    Variant* var = FindVariable(target, &slot);
    if (!var && FindProcedure(target.name)) RaiseNumber(kIllegalAssignment);
    if (!var && set && host_->HasItem(target.name)) RaiseNumber(kIllegalAssignment);
    if (!var && !set) {
        if (IDispatch* item = Item(target.name)) {
            Invoke(item, DISPID_VALUE, putKind, target.args, &value);
            return;
        }
    }
    if (slot && slot->isConst) RaiseNumber(kIllegalAssignment);
    if (!var) var = DeclareImplicit(target.name, target);
    if (!target.args.empty()) {
        // As in reading: the indexes or arguments first, then the array or
        // object the variable holds.
        if (var->vt == (VT_ARRAY | VT_VARIANT)) {
            std::vector<LONG> indexes = Indexes(target.args);
            auto* element =
                static_cast<VARIANT*>(Element(ArrayAfterIndexes(target, true), indexes));
            VariantClear(element);
            *element = value.Detach();
            return;
        }
        if (var->vt != VT_DISPATCH) Raise(DISP_E_TYPEMISMATCH);
        Invoke(nullptr, DISPID_VALUE, putKind, target.args, &value, &target);
        return;
    }
    if (!set && var->vt == VT_DISPATCH && var->pdispVal) {
        // Let on an object writes its default member.
        Invoke(var->pdispVal, DISPID_VALUE, DISPATCH_PROPERTYPUT, target.args, &value);
        return;
    }
    *var = std::move(value);
}

// A number computed on the quick road stored in a variable that holds no
// object and is no constant, as Assign would store it; false (nothing
// evaluated with an effect) leaves the statement to the general road, with
// `refused` set where the quick road was tried on the value and refused it.
bool Interpreter::AssignQuick(const Expr& target, const Expr& value, bool* refused) {
    if (target.left || !target.args.empty() || value.kind != Expr::Kind::Binary) return false;
    VARIANT v;
    if (!QuickRoot(value, &v)) return *refused = true, false;
    Slot* slot = nullptr;
    Variant* var = FindVariable(target, &slot);
    if (!var || (slot && slot->isConst) || var->vt == VT_DISPATCH) {
        Variant held;
        *static_cast<VARIANT*>(&held) = v;
        Assign(target, std::move(held), false);
        return true;
    }
    if (!IsNumber(var->vt)) VariantClear(var);
    *static_cast<VARIANT*>(var) = v;
    return true;
}

namespace {

// An array element passed to a ByRef parameter: the parameter holds a copy,
// written back to the element when the procedure returns.
struct ElementArgument {
    const std::u16string* param;
    const std::u16string* array;
    std::vector<LONG> indexes;
};

}  // namespace

// `s = s & x` on a variable that holds a string: the text of x goes onto
// the end of the variable's own string, which grows with spare room, instead
// of copying the whole string twice. Taken only where reading the operands
// does nothing else (x a literal or a variable that holds no object), so the
// result is the one the plain road gives; false leaves the statement to it.
bool Interpreter::AppendInPlace(const Expr& target, const Expr& value) {
    auto plainName = [](const Expr& e) {
        return e.kind == Expr::Kind::Ref && !e.left && e.args.empty() && !e.parens;
    };
    if (value.kind != Expr::Kind::Binary || value.op != Operator::Cat || !plainName(target) ||
        !plainName(*value.left) || value.left->name != target.name)
        return false;
    Slot* slot = nullptr;
    Variant* var = FindVariable(target.name, &slot);
    if (!var || (slot && slot->isConst) || var->vt != VT_BSTR) return false;
    const Variant* tail = nullptr;
    if (value.right->kind == Expr::Kind::Literal) {
        tail = &value.right->value;
    } else if (plainName(*value.right)) {
        tail = FindVariable(value.right->name, nullptr);
        if (!tail || tail->vt == VT_DISPATCH || tail->vt == VT_UNKNOWN) return false;
    } else {
        return false;
    }
    Variant text;
    if (tail->vt != VT_BSTR) {
        Variant empty(u"");
        if (FAILED(VarCat(&empty, const_cast<Variant*>(tail), &text)) || text.vt != VT_BSTR)
            return false;
        tail = &text;
    }
    return SUCCEEDED(mv::AppendToBstr(&var->bstrVal, tail->bstrVal, SysStringLen(tail->bstrVal)));
}

Variant Interpreter::CallProcedure(const Procedure& p, const std::vector<ExprPtr>& args) {
    // A script's own procedure has no optional parameters: an argument left
    // out is a wrong argument count.
    if (args.size() != p.params.size()) RaiseNumber(kWrongArguments);
    for (const ExprPtr& a : args)
        if (a->kind == Expr::Kind::Missing) RaiseNumber(kWrongArguments);
    DepthGuard depth;
    Frame f;
    f.proc = &p;
    f.locals.resize(p.declared.size());
    std::vector<ElementArgument> elements;
    for (size_t i = 0; i < args.size(); ++i) {
        const Expr& a = *args[i];
        const bool byRef = !p.byVal[i] && a.kind == Expr::Kind::Ref && !a.left && !a.grouped &&
                           (a.parens != a.args.empty());
        bool own = false;
        Slot* kept = byRef ? FindSlot(a.name, &own) : nullptr;
        Variant* var = kept ? &kept->value : nullptr;
        Local& param = f.locals[p.Declared(p.params[i])];
        if (var && a.args.empty()) {
            param.byRef = kept;
        } else if (var && var->vt == (VT_ARRAY | VT_VARIANT) && !FindProcedure(a.name)) {
            ElementArgument element{&p.params[i], &a.name, Indexes(a.args)};
            param.own.value =
                ElementValue(VT_VARIANT, Element(ArrayAfterIndexes(a, true), element.indexes));
            elements.push_back(std::move(element));
        } else {
            param.own.value = Eval(a);
        }
    }
    {
        frames_.push_back(&f);
        struct Pop {
            std::vector<Frame*>& frames;
            ~Pop() { frames.pop_back(); }
        } pop{frames_};
        ExecBlock(p.body);
    }
    // The procedure may have resized or replaced the array: an element no
    // longer there is not written.
    for (const ElementArgument& e : elements) {
        Variant* array = FindVariable(*e.array, nullptr);
        const Variant* value = &f.locals[p.Declared(*e.param)].own.value;
        void* at = nullptr;
        if (array && array->vt == (VT_ARRAY | VT_VARIANT) && array->parray &&
            array->parray->cDims == e.indexes.size() &&
            SUCCEEDED(SafeArrayPtrOfIndex(array->parray, const_cast<LONG*>(e.indexes.data()), &at)))
            CopyInto(static_cast<VARIANT*>(at), *value);
    }
    return std::move(f.result.value);
}

Variant Interpreter::CallBuiltin(const Builtin& b, const std::vector<ExprPtr>& args) {
    // Arguments left out at the end are not given; a required one left out
    // is a wrong argument count.
    size_t count = args.size();
    while (count > 0 && args[count - 1]->kind == Expr::Kind::Missing) --count;
    if (count < b.minArgs || args.size() > b.maxArgs) RaiseNumber(kWrongArguments);
    std::vector<Variant> values;
    values.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        if (i < b.minArgs && args[i]->kind == Expr::Kind::Missing) RaiseNumber(kWrongArguments);
        values.push_back(Eval(*args[i]));
    }
    Variant result;
    const HRESULT hr =
        b.call(values.data(), static_cast<UINT>(values.size()), &result, &builtinState_);
    if (FAILED(hr)) Raise(hr);
    return result;
}

}  // namespace mv::script
