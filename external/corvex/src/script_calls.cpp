// The script calls: parse and list a text's names, and run a text against a
// calculation, which is reached through its IDispatch by member name.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "comobj.h"
#include "impl.h"
#include "model.h"
#include "script/stack_room.h"

namespace cvx {
namespace {

constexpr LCID kEnglish = 1033;
constexpr LONG kBadArgument = 2;

// A failure of a line, with the message that goes before " (line N)".
struct LineError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string Quoted(const std::string& s) {
    return "\"" + s + "\"";
}

// The calculation, by dispatch.
class Calculation {
public:
    explicit Calculation(IMvCalculation* calc) {
        // Every interface pointer starts with IUnknown's members.
        if (auto* unk = reinterpret_cast<IUnknown*>(calc))
            unk->QueryInterface(IID_IDispatch, disp_.PutVoid());
    }
    bool valid() const { return static_cast<bool>(disp_); }

    void SetErrorText(const std::string& text) {
        mv::DispPutPropertyByName(disp_.get(), u"ErrorText", mv::Variant(mv::ToUtf16(text)));
    }

    // The parameter of that name, or none.
    mv::ComPtr<IDispatch> Parameter(const std::string& name) {
        mv::Variant arg(mv::ToUtf16(name)), result;
        if (FAILED(mv::DispInvokeMethodByName(disp_.get(), u"GetParameter", &arg, 1, &result)))
            return nullptr;
        return ObjectOf(result);
    }

    // Asks GetFormula for the formula; true when one came back.
    bool HasFormula(const std::string& name) {
        IDispatch* formula = nullptr;
        LONG count = 0;
        mv::Variant args[3];
        args[0] = mv::Variant(mv::ToUtf16(name));
        args[1].vt = VT_BYREF | VT_DISPATCH;
        args[1].ppdispVal = &formula;
        args[2].vt = VT_BYREF | VT_I4;
        args[2].plVal = &count;
        HRESULT hr = mv::DispInvokeMethodByName(disp_.get(), u"GetFormula", args, 3, nullptr);
        args[1].vt = args[2].vt = VT_EMPTY;  // the storage is ours
        if (!formula) return false;
        formula->Release();
        return SUCCEEDED(hr);
    }

    // Runs the formula reference's script function with the arguments.
    double CallFormula(const std::string& name, const std::vector<double>& values) {
        mv::Variant arg(mv::ToUtf16(name)), result;
        HRESULT hr = mv::DispInvokeMethodByName(disp_.get(), u"GetFormulaRef", &arg, 1, &result);
        mv::ComPtr<IDispatch> ref = SUCCEEDED(hr) ? ObjectOf(result) : nullptr;
        if (!ref) throw LineError("Unknown formula " + Quoted(name));
        // Dispatch wants the arguments last first.
        std::vector<mv::Variant> args;
        for (auto it = values.rbegin(); it != values.rend(); ++it) args.emplace_back(*it);
        DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
        mv::Variant out;
        EXCEPINFO info{};
        hr = ref->Invoke(DISPID_VALUE, IID_NULL, kEnglish, DISPATCH_METHOD, &params, &out, &info,
                         nullptr);
        mv::Bstr description = mv::Bstr::Attach(info.bstrDescription);
        SysFreeString(info.bstrSource);
        SysFreeString(info.bstrHelpFile);
        if (FAILED(hr)) {
            std::string why = description.Utf8();
            if (why.empty()) {
                char code[16];
                std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
                why = code;
            }
            throw LineError("Formula " + Quoted(name) + " failed: " + why);
        }
        double d;
        if (!Number(out, &d)) throw LineError(Quoted(name) + " is not a number");
        return d;
    }

    static bool Number(const VARIANT& v, double* out) {
        if (v.vt == VT_EMPTY || v.vt == VT_NULL || v.vt == VT_ERROR) return false;
        mv::Variant d;
        if (FAILED(VariantChangeTypeEx(&d, &v, kEnglish, 0, VT_R8))) return false;
        *out = d.dblVal;
        return true;
    }

private:
    static mv::ComPtr<IDispatch> ObjectOf(const VARIANT& v) {
        mv::ComPtr<IDispatch> d;
        if ((v.vt == VT_DISPATCH || v.vt == VT_UNKNOWN) && v.punkVal)
            v.punkVal->QueryInterface(IID_IDispatch, d.PutVoid());
        return d;
    }

    mv::ComPtr<IDispatch> disp_;
};

// One run of a program: values and the worst level of each line.
class Runner {
public:
    explicit Runner(Calculation& calc) : calc_(calc) {}

    void Line(const Statement& st) {
        worst_ = -1;
        double value = Eval(st.value);
        mv::ComPtr<IDispatch> target = calc_.Parameter(st.target);
        if (!target) throw LineError("Unknown name " + Quoted(Shown(st.targetNode, st.target)));
        // Status first: setting it derives a level, which the level then
        // overrides with the worst one read.
        SHORT status = worst_ == -1 ? -2 : worst_ == 0 ? -1 : worst_ == 1 ? -3 : -6;
        mv::Variant level, statusValue;
        level.vt = statusValue.vt = VT_I2;
        level.iVal = worst_;
        statusValue.iVal = status;
        if (FAILED(mv::DispPutPropertyByName(target.get(), u"Value", mv::Variant(value))) ||
            FAILED(mv::DispPutPropertyByName(target.get(), u"Status", statusValue)) ||
            FAILED(mv::DispPutPropertyByName(target.get(), u"Level", level)))
            throw LineError("Cannot write " + Quoted(st.target));
    }

private:
    static std::string Shown(const std::string& node, const std::string& name) {
        return node.empty() ? name : node + ":" + name;
    }

    double Read(const Expr& e) {
        std::string shown = Quoted(Shown(e.node, e.name));
        mv::ComPtr<IDispatch> p = calc_.Parameter(e.name);
        if (!p) throw LineError("Unknown name " + shown);
        mv::Variant value, level;
        double d;
        if (FAILED(mv::DispGetPropertyByName(p.get(), u"Value", &value)) ||
            !Calculation::Number(value, &d))
            throw LineError(shown + " is not a number");
        if (SUCCEEDED(mv::DispGetPropertyByName(p.get(), u"Level", &level)) &&
            SUCCEEDED(VariantChangeTypeEx(&level, &level, kEnglish, 0, VT_I2)))
            worst_ = worst_ == -1 ? level.iVal : std::max(worst_, level.iVal);
        return d;
    }

    // A chain of operators is walked down its left side in a loop, then
    // computed from its first operand up, and a run of signs is counted in
    // a loop; only right operands, powers and arguments recurse, each level
    // of the run taking less stack than its level of the parse, which
    // stopped where the stack would not hold it. The run checks the room
    // too, so that it stops rather than overflows should that ever change.
    double Eval(const Expr& root) {
        if (mv::script::StackLow()) throw LineError(kTooDeep);
        std::vector<const Expr*> chain;
        const Expr* first = &root;
        while (first->kind == Expr::Binary) {
            chain.push_back(first);
            first = &first->args[0];
        }
        double value = Operand(*first);
        for (auto e = chain.rbegin(); e != chain.rend(); ++e)
            value = Operate((*e)->op, value, Eval((*e)->args[1]));
        return value;
    }

    double Operand(const Expr& e) {
        switch (e.kind) {
            case Expr::Number:
                return e.number;
            case Expr::Name:
                return Read(e);
            case Expr::Negate: {
                // A run of signs is counted in a loop: each one only flips
                // the sign, exactly.
                bool negative = false;
                const Expr* inner = &e;
                for (; inner->kind == Expr::Negate; inner = &inner->args[0]) negative = !negative;
                const double value = Eval(*inner);
                return negative ? -value : value;
            }
            case Expr::Call: {
                std::vector<double> values;
                for (const Expr& a : e.args) values.push_back(Eval(a));
                return calc_.CallFormula(e.name, values);
            }
            case Expr::Binary:
                break;
        }
        return Eval(e);
    }

    static double Operate(char op, double a, double b) {
        double r = 0;
        switch (op) {
            case '+':
                r = a + b;
                break;
            case '-':
                r = a - b;
                break;
            case '*':
                r = a * b;
                break;
            case '/':
                if (b == 0) throw LineError("Division by zero");
                r = a / b;
                break;
            default:
                r = std::pow(a, b);
                break;
        }
        if (!std::isfinite(r)) throw LineError("Result is not a finite number");
        return r;
    }

    Calculation& calc_;
    SHORT worst_ = -1;
};

std::string AtLine(const std::string& message, int line) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, " (line %d)", line);
    return message + suffix;
}

// What a parse hands out, one parameter per next_parameter3.
struct ParseHandle {
    std::vector<Discovered> parameters;
    size_t next = 0;
};

void PutText(char* to, const std::string& from) {
    if (!to) return;
    std::memcpy(to, from.data(), from.size());
    to[from.size()] = '\0';
}

}  // namespace

LONG ParseScript(IMvCalculation* calc, const char* script, void** handle, LONG adHoc) {
    Fault f = Enter("parse_simple_calc3");
    {
        Model& m = Model::get();
        std::lock_guard lock(m.mutex);
        m.flags.AdHoc = adHoc;
    }
    if (!handle) return kBadArgument;
    *handle = nullptr;
    Calculation c(calc);
    if (!c.valid()) return kBadArgument;
    if (f.mode == CORVEXSIM_ERRORTEXT) {
        c.SetErrorText(f.text);
        return 0;
    }
    auto result = std::make_unique<ParseHandle>();
    std::vector<std::string> scriptedFormulas;
    bool scripted;
    {
        Model& m = Model::get();
        std::lock_guard lock(m.mutex);
        scripted = m.scripted;
        result->parameters = m.scriptedParameters;
        scriptedFormulas = m.scriptedFormulas;
    }
    if (scripted) {
        for (const std::string& name : scriptedFormulas) c.HasFormula(name);
    } else {
        Program program;
        std::string error;
        bool ok = Parse(script ? script : "", &program, &error);
        for (const FormulaUse& use : ok ? FormulasCalled(program) : std::vector<FormulaUse>{})
            if (!c.HasFormula(use.name)) {
                error = AtLine("Unknown formula " + Quoted(use.name), use.line);
                ok = false;
                break;
            }
        if (ok)
            result->parameters = Discover(program);
        else
            c.SetErrorText(error);
    }
    *handle = result.release();
    return 0;
}

LONG NextParameter(void* handle, char* name, char* node, char* record, LONG* found, LONG* kind,
                   double* offset) {
    Enter("next_parameter3");
    if (!found) return kBadArgument;
    auto* h = static_cast<ParseHandle*>(handle);
    if (!h || h->next >= h->parameters.size()) {
        *found = 0;
        PutText(name, "");
        PutText(node, "");
        PutText(record, "");
        return 0;
    }
    const Discovered& d = h->parameters[h->next++];
    PutText(name, d.name);
    PutText(node, d.node);
    PutText(record, d.record);
    *found = 1;
    if (kind) *kind = d.kind;
    if (offset) *offset = d.offset;
    return 0;
}

LONG FreeParse(void* handle) {
    Enter("free_simple_calc");
    delete static_cast<ParseHandle*>(handle);
    return 0;
}

LONG ExecuteScript(IMvCalculation* calc, LONG hasDravik, const char* script, LONG onDemand,
                   LONG sandBox) {
    {
        Model& m = Model::get();
        std::lock_guard lock(m.mutex);
        m.flags.HasDravik = hasDravik;
        m.flags.OnDemand = onDemand;
        m.flags.SandBox = sandBox;
    }
    Fault f = Enter("execute_corvex_exx");
    Calculation c(calc);
    if (!c.valid()) return kBadArgument;
    if (f.mode == CORVEXSIM_ERRORTEXT) {
        c.SetErrorText(f.text);
        return 0;
    }
    Program program;
    std::string error;
    if (!Parse(script ? script : "", &program, &error)) {
        c.SetErrorText(error);
        return 0;
    }
    Runner runner(c);
    for (const Statement& st : program.statements) {
        try {
            runner.Line(st);
        } catch (const LineError& e) {
            c.SetErrorText(AtLine(e.what(), st.line));
            break;
        }
    }
    return 0;
}

}  // namespace cvx
