// The VARIANT operators: VarAdd and its family, VarCat, VarCmp and the
// logical operators.
//
// An operand is read through references and an object's default member. Each
// operator picks its result type from the two operand types, converts both
// operands to it with the coercions of VariantChangeTypeEx (so text is read as
// an en-US number) and computes there: integers in 128 bits, currency in
// ten-thousandths, decimals exactly, the rest in doubles. A result is built
// apart from the operands, so the result may alias one of them, and a failure
// leaves it VT_EMPTY.
#include <cfloat>
#include <cmath>

#include "oleaut/convert_internal.h"

namespace {

using mv::convert::Exact;
using mv::convert::Int128;
using mv::convert::kFirstDate;
using mv::convert::kPastLastDate;

enum class Op { Add, Sub, Mul, Div, Idiv, Mod, Pow };
enum class Logic { And, Or, Xor };

// The value types the operators take.
bool IsOperandType(VARTYPE vt) {
    return (vt <= VT_DATE) || vt == VT_BSTR || vt == VT_BOOL || vt == VT_DECIMAL ||
           (vt >= VT_I1 && vt <= VT_UINT);
}

// The type an operand counts as when the result type is chosen: the integer
// types outside the script's subtypes join the nearest one that holds them.
VARTYPE Canonical(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
            return VT_I2;
        case VT_UI2:
        case VT_INT:
            return VT_I4;
        case VT_UI4:
        case VT_UINT:
        case VT_UI8:
            return VT_I8;
        default:
            return vt;
    }
}

// One operand, by value: the caller's VARIANT itself when it is a plain value
// (a string is not copied), else the value behind its reference or object.
class Operand {
public:
    HRESULT Load(const VARIANT* in) {
        if (!in) return E_INVALIDARG;
        if (!(in->vt & VT_BYREF) && in->vt != VT_DISPATCH) {
            view_ = in;
        } else {
            const HRESULT hr = mv::convert::ResolveValue(*in, LOCALE_USER_DEFAULT, &owned_);
            if (FAILED(hr)) return hr;
            view_ = &owned_;
        }
        return IsOperandType(view_->vt) ? S_OK : DISP_E_TYPEMISMATCH;
    }
    const VARIANT& operator*() const { return *view_; }
    const VARIANT* operator->() const { return view_; }
    VARTYPE type() const { return Canonical(view_->vt); }

private:
    mv::Variant owned_;
    const VARIANT* view_ = nullptr;
};

// Operands are only ever converted to numbers, so text is read as a number
// (never as a date).
HRESULT Convert(const VARIANT& v, VARTYPE vt, mv::Variant* out) {
    return VariantChangeTypeEx(out, &v, LOCALE_USER_DEFAULT, 0, vt);
}

HRESULT ToDouble(const VARIANT& v, double* out) {
    mv::Variant r;
    const HRESULT hr = Convert(v, VT_R8, &r);
    if (SUCCEEDED(hr)) *out = r.dblVal;
    return hr;
}

// Converts to the integer type `vt` (rounding half to even) and widens.
HRESULT ToInteger(const VARIANT& v, VARTYPE vt, Int128* out) {
    mv::Variant r;
    const HRESULT hr = Convert(v, vt, &r);
    if (FAILED(hr)) return hr;
    switch (vt) {
        case VT_UI1:
            *out = r.bVal;
            break;
        case VT_I2:
            *out = r.iVal;
            break;
        case VT_I4:
            *out = r.lVal;
            break;
        default:
            *out = r.llVal;
            break;
    }
    return S_OK;
}

HRESULT ToCurrency(const VARIANT& v, Int128* out) {
    mv::Variant r;
    const HRESULT hr = Convert(v, VT_CY, &r);
    if (SUCCEEDED(hr)) *out = r.cyVal.int64;
    return hr;
}

HRESULT ToExact(const VARIANT& v, Exact* out) {
    mv::Variant r;
    const HRESULT hr = Convert(v, VT_DECIMAL, &r);
    return FAILED(hr) ? hr : mv::convert::DecimalToExact(r.decVal, out);
}

bool Fits(Int128 x, VARTYPE vt) {
    switch (vt) {
        case VT_UI1:
            return x >= 0 && x <= UINT8_MAX;
        case VT_I2:
            return x >= INT16_MIN && x <= INT16_MAX;
        case VT_I4:
            return x >= INT32_MIN && x <= INT32_MAX;
        default:
            return x >= INT64_MIN && x <= INT64_MAX;
    }
}

// Stores an integer result in `vt` or, when it does not fit, in the next
// wider type up to `widest` (VT_R8 past Long); DISP_E_OVERFLOW beyond.
HRESULT StoreInteger(Int128 x, VARTYPE vt, VARTYPE widest, VARIANT* out) {
    while (!Fits(x, vt)) {
        if (vt == widest || vt == VT_I8) return DISP_E_OVERFLOW;
        vt = vt == VT_UI1 ? VT_I2 : vt == VT_I2 ? VT_I4 : VT_R8;
        if (vt == VT_R8) {
            out->vt = VT_R8;
            out->dblVal = static_cast<double>(x);
            return S_OK;
        }
    }
    out->vt = vt;
    switch (vt) {
        case VT_UI1:
            out->bVal = static_cast<BYTE>(x);
            break;
        case VT_I2:
            out->iVal = static_cast<SHORT>(x);
            break;
        case VT_I4:
            out->lVal = static_cast<LONG>(x);
            break;
        default:
            out->llVal = static_cast<LONGLONG>(x);
            break;
    }
    return S_OK;
}

// Add, Sub, Mul, Div and Pow on doubles. Operands that are NaN or infinite
// compute as IEEE does; finite operands that give no finite result fail.
HRESULT DoubleOp(Op op, double a, double b, double* r) {
    const bool finite = std::isfinite(a) && std::isfinite(b);
    switch (op) {
        case Op::Add:
            *r = a + b;
            break;
        case Op::Sub:
            *r = a - b;
            break;
        case Op::Mul:
            *r = a * b;
            break;
        case Op::Div:
            if (b == 0.0 && std::isfinite(a)) return a == 0.0 ? DISP_E_OVERFLOW : DISP_E_DIVBYZERO;
            *r = a / b;
            break;
        default:
            if (finite && a == 0.0 && b < 0.0) return DISP_E_DIVBYZERO;
            if (finite && a < 0.0 && b != std::trunc(b)) return E_INVALIDARG;
            *r = std::pow(a, b);
            break;
    }
    return finite && !std::isfinite(*r) ? DISP_E_OVERFLOW : S_OK;
}

// Brings two exact values to one scale: the one with fewer decimals gains
// digits while 128 bits hold them, the other loses what is still apart.
void AlignScales(Exact* a, Exact* b) {
    Exact* lo = a->scale < b->scale ? a : b;
    Exact* hi = lo == a ? b : a;
    const Int128 limit = mv::convert::Pow10(36);
    while (lo->scale < hi->scale && lo->mantissa < limit && lo->mantissa > -limit)
        lo->mantissa *= 10, ++lo->scale;
    if (lo->scale < hi->scale) *hi = mv::convert::Rescale(*hi, lo->scale);
}

// a / b to as many decimals as 128 bits allow, rounded half to even.
HRESULT DivideExact(const Exact& a, const Exact& b, Exact* out) {
    if (b.mantissa == 0) return a.mantissa == 0 ? DISP_E_OVERFLOW : DISP_E_DIVBYZERO;
    const bool negative = (a.mantissa < 0) != (b.mantissa < 0);
    const Int128 n = a.mantissa < 0 ? -a.mantissa : a.mantissa;
    const Int128 d = b.mantissa < 0 ? -b.mantissa : b.mantissa;
    const Int128 limit = mv::convert::Pow10(36);
    Int128 q = n / d, r = n % d;
    int scale = a.scale - b.scale;
    while ((r != 0 || scale < 0) && scale < 29 && q < limit) {
        r *= 10;
        q = q * 10 + r / d;
        r %= d;
        ++scale;
    }
    if (scale < 0) return DISP_E_OVERFLOW;
    if (2 * r > d || (2 * r == d && q % 2 != 0)) ++q;
    *out = {negative ? -q : q, scale};
    return S_OK;
}

HRESULT ExactOp(Op op, Exact a, Exact b, DECIMAL* out) {
    Exact r;
    switch (op) {
        case Op::Add:
        case Op::Sub:
            AlignScales(&a, &b);
            r = {op == Op::Add ? a.mantissa + b.mantissa : a.mantissa - b.mantissa, a.scale};
            break;
        case Op::Mul:
            // Digits beyond what a DECIMAL keeps go first when 128 bits do not hold the product.
            while (__builtin_mul_overflow(a.mantissa, b.mantissa, &r.mantissa)) {
                Exact* x = a.scale >= b.scale ? &a : &b;
                if (x->scale == 0) return DISP_E_OVERFLOW;
                *x = mv::convert::Rescale(*x, x->scale - 1);
            }
            r.scale = a.scale + b.scale;
            break;
        default: {
            const HRESULT hr = DivideExact(a, b, &r);
            if (FAILED(hr)) return hr;
            break;
        }
    }
    return mv::convert::ExactToDecimal(r, out);
}

bool Either(VARTYPE a, VARTYPE b, VARTYPE t) {
    return a == t || b == t;
}

// The result type of +, -, * and /.
VARTYPE ArithmeticType(Op op, VARTYPE a, VARTYPE b) {
    if (Either(a, b, VT_DECIMAL)) return VT_DECIMAL;
    if (op == Op::Div || op == Op::Pow) return VT_R8;
    if (op == Op::Sub && a == VT_DATE && b == VT_DATE) return VT_R8;
    if (op != Op::Mul && Either(a, b, VT_DATE)) return VT_DATE;
    if (op != Op::Mul && Either(a, b, VT_CY)) return VT_CY;
    if (Either(a, b, VT_R8) || Either(a, b, VT_BSTR) || Either(a, b, VT_DATE)) return VT_R8;
    if (Either(a, b, VT_CY)) return VT_CY;
    if (Either(a, b, VT_R4)) return Either(a, b, VT_I4) || Either(a, b, VT_I8) ? VT_R8 : VT_R4;
    if (Either(a, b, VT_I8)) return VT_I8;
    if (Either(a, b, VT_I4)) return VT_I4;
    if (Either(a, b, VT_I2) || Either(a, b, VT_BOOL)) return VT_I2;
    return Either(a, b, VT_UI1) ? VT_UI1 : VT_I2;  // Empty with Empty gives an Integer
}

// The result type of \ and Mod and of the bitwise operators: the narrowest
// integer type of the script that holds both operands once rounded.
VARTYPE IntegerType(VARTYPE a, VARTYPE b) {
    if (Either(a, b, VT_I8)) return VT_I8;
    for (const VARTYPE t : {VT_I4, VT_R4, VT_R8, VT_CY, VT_DATE, VT_BSTR, VT_DECIMAL})
        if (Either(a, b, t)) return VT_I4;
    if (Either(a, b, VT_I2) || Either(a, b, VT_BOOL)) return VT_I2;
    return Either(a, b, VT_UI1) ? VT_UI1 : VT_I2;
}

HRESULT IntegerDivision(Op op, const VARIANT& l, const VARIANT& r, VARTYPE vt, VARIANT* out) {
    Int128 a = 0, b = 0;
    HRESULT hr = ToInteger(l, vt, &a);
    if (SUCCEEDED(hr)) hr = ToInteger(r, vt, &b);
    if (FAILED(hr)) return hr;
    if (b == 0) return DISP_E_DIVBYZERO;
    // Only the smallest value divided by -1 leaves its type: an Integer becomes a Long.
    return StoreInteger(op == Op::Idiv ? a / b : a % b, vt, VT_I4, out);
}

HRESULT Arithmetic(Op op, VARTYPE vt, const VARIANT& l, const VARIANT& r, VARIANT* out) {
    HRESULT hr = S_OK;
    switch (vt) {
        case VT_UI1:
        case VT_I2:
        case VT_I4:
        case VT_I8: {
            Int128 a = 0, b = 0;
            hr = ToInteger(l, vt, &a);
            if (SUCCEEDED(hr)) hr = ToInteger(r, vt, &b);
            if (FAILED(hr)) return hr;
            const Int128 x = op == Op::Add ? a + b : op == Op::Sub ? a - b : a * b;
            return StoreInteger(x, vt, VT_R8, out);
        }
        case VT_CY: {
            Int128 a = 0, b = 0;
            hr = ToCurrency(l, &a);
            if (SUCCEEDED(hr)) hr = ToCurrency(r, &b);
            if (FAILED(hr)) return hr;
            const Int128 x = op == Op::Add   ? a + b
                             : op == Op::Sub ? a - b
                                             : mv::convert::RoundExactToInt128({a * b, 4});
            if (!Fits(x, VT_I8)) return DISP_E_OVERFLOW;
            out->vt = VT_CY;
            out->cyVal.int64 = static_cast<LONGLONG>(x);
            return S_OK;
        }
        case VT_DECIMAL: {
            Exact a, b;
            hr = ToExact(l, &a);
            if (SUCCEEDED(hr)) hr = ToExact(r, &b);
            if (FAILED(hr)) return hr;
            DECIMAL d{};
            hr = ExactOp(op, a, b, &d);
            if (FAILED(hr)) return hr;
            out->decVal = d;
            out->vt = VT_DECIMAL;
            return S_OK;
        }
        default:
            break;
    }
    double a = 0.0, b = 0.0, x = 0.0;
    hr = ToDouble(l, &a);
    if (SUCCEEDED(hr)) hr = ToDouble(r, &b);
    if (SUCCEEDED(hr)) hr = DoubleOp(op, a, b, &x);
    if (FAILED(hr)) return hr;
    if (vt == VT_DATE && !(x >= kFirstDate && x < kPastLastDate)) return DISP_E_OVERFLOW;
    if (vt == VT_R4 && std::fabs(x) > FLT_MAX && std::isfinite(x)) vt = VT_R8;
    out->vt = vt;
    if (vt == VT_R4)
        out->fltVal = static_cast<FLOAT>(x);
    else
        out->dblVal = x;  // VT_R8 and VT_DATE share the slot
    return S_OK;
}

// Joins two strings into `out`.
HRESULT Join(std::u16string_view a, std::u16string_view b, VARIANT* out) {
    // SysAllocStringLen refuses a length beyond a BSTR's; checked before any copy.
    constexpr size_t kMaxChars = 0x7FFFFFF0u / sizeof(OLECHAR);
    if (a.size() > kMaxChars || b.size() > kMaxChars - a.size()) return E_OUTOFMEMORY;
    BSTR s = SysAllocStringLen(nullptr, static_cast<UINT>(a.size() + b.size()));
    if (!s) return E_OUTOFMEMORY;
    std::copy(a.begin(), a.end(), s);
    std::copy(b.begin(), b.end(), s + a.size());
    out->vt = VT_BSTR;
    out->bstrVal = s;
    return S_OK;
}

// A string's text; "" for anything else (Empty beside a string).
std::u16string_view Text(const VARIANT& v) {
    if (v.vt != VT_BSTR || !v.bstrVal) return {};
    return {v.bstrVal, SysStringLen(v.bstrVal)};
}

// The common frame of the binary operators: null pointers, operands, the
// result built apart and stored only on success.
template <typename Body>
HRESULT Binary(LPVARIANT left, LPVARIANT right, LPVARIANT result, Body body) {
    if (!left || !right || !result) return E_INVALIDARG;
    Operand l, r;
    mv::Variant out;
    HRESULT hr = mv::CallGuarded([&] {
        HRESULT loaded = l.Load(left);
        if (SUCCEEDED(loaded)) loaded = r.Load(right);
        return SUCCEEDED(loaded) ? body(l, r, &out) : loaded;
    });
    // The old value is released only now: it may be an operand.
    if (FAILED(VariantClear(result))) VariantInit(result);
    if (FAILED(hr)) return hr;
    *result = out.Detach();
    return S_OK;
}

HRESULT ArithmeticOperator(Op op, LPVARIANT left, LPVARIANT right, LPVARIANT result) {
    return Binary(left, right, result, [op](const Operand& l, const Operand& r, VARIANT* out) {
        if (l->vt == VT_NULL || r->vt == VT_NULL) return out->vt = VT_NULL, S_OK;
        // Two strings join; Empty beside a string is "".
        if (op == Op::Add && (l->vt == VT_BSTR || r->vt == VT_BSTR) &&
            (l->vt == VT_BSTR || l->vt == VT_EMPTY) && (r->vt == VT_BSTR || r->vt == VT_EMPTY))
            return Join(Text(*l), Text(*r), out);
        if (op == Op::Idiv || op == Op::Mod)
            return IntegerDivision(op, *l, *r, IntegerType(l.type(), r.type()), out);
        return Arithmetic(op, ArithmeticType(op, l.type(), r.type()), *l, *r, out);
    });
}

// A string beside a logical operator counts as the number it spells, or as
// a Boolean when it spells True or False.
HRESULT LogicalOperand(const VARIANT& in, mv::Variant* out) {
    if (in.vt != VT_BSTR) return VariantCopy(out, &in);
    const HRESULT hr = VariantChangeTypeEx(out, &in, LOCALE_USER_DEFAULT, 0, VT_R8);
    if (hr != DISP_E_TYPEMISMATCH) return hr;
    return VariantChangeTypeEx(out, &in, LOCALE_USER_DEFAULT, 0, VT_BOOL);
}

// Booleans stay Booleans; anything else computes as an integer.
VARTYPE LogicalType(VARTYPE a, VARTYPE b) {
    if (a == VT_BOOL && b == VT_BOOL) return VT_BOOL;
    return IntegerType(Canonical(a), Canonical(b));
}

// The integer or Boolean a logical operator computes on.
HRESULT LogicalValue(const VARIANT& v, VARTYPE vt, Int128* out) {
    if (vt != VT_BOOL) return ToInteger(v, vt, out);
    *out = v.boolVal;
    return S_OK;
}

HRESULT StoreLogical(Int128 x, VARTYPE vt, VARIANT* out) {
    if (vt != VT_BOOL) return StoreInteger(x, vt, vt, out);
    out->vt = VT_BOOL;
    out->boolVal = x ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT LogicalOperator(Logic op, LPVARIANT left, LPVARIANT right, LPVARIANT result) {
    return Binary(left, right, result, [op](const Operand& lo, const Operand& ro, VARIANT* out) {
        mv::Variant l, r;
        HRESULT hr = LogicalOperand(*lo, &l);
        if (SUCCEEDED(hr)) hr = LogicalOperand(*ro, &r);
        if (FAILED(hr)) return hr;
        if (l.vt == VT_NULL && r.vt == VT_NULL) return out->vt = VT_NULL, S_OK;
        if (l.vt == VT_NULL || r.vt == VT_NULL) {
            // Three-valued: the known side decides when it leaves no bit open.
            const VARIANT& known = l.vt == VT_NULL ? r : l;
            const VARTYPE vt = LogicalType(known.vt, known.vt);
            Int128 x = 0;
            hr = LogicalValue(known, vt, &x);
            if (FAILED(hr)) return hr;
            const Int128 all = vt == VT_UI1 ? 0xFF : -1;
            if (known.vt != VT_EMPTY &&
                ((op == Logic::And && x == 0) || (op == Logic::Or && x == all)))
                return StoreLogical(x, vt, out);
            return out->vt = VT_NULL, S_OK;
        }
        const VARTYPE vt = LogicalType(l.vt, r.vt);
        Int128 a = 0, b = 0;
        hr = LogicalValue(l, vt, &a);
        if (SUCCEEDED(hr)) hr = LogicalValue(r, vt, &b);
        if (FAILED(hr)) return hr;
        const Int128 x = op == Logic::And ? (a & b) : op == Logic::Or ? (a | b) : (a ^ b);
        return StoreLogical(x, vt, out);
    });
}

// The text VarCat joins: Empty and Null read as "", Booleans as True/False.
HRESULT CatText(const VARIANT& v, mv::Variant* owned, std::u16string_view* out) {
    switch (v.vt) {
        case VT_EMPTY:
        case VT_NULL:
            *out = {};
            return S_OK;
        case VT_BSTR:
            *out = Text(v);
            return S_OK;
        case VT_BOOL:
            *out = v.boolVal ? u"True" : u"False";
            return S_OK;
        default: {
            const HRESULT hr = VariantChangeTypeEx(owned, &v, LOCALE_USER_DEFAULT, 0, VT_BSTR);
            if (SUCCEEDED(hr)) *out = Text(*owned);
            return hr;
        }
    }
}

int Sign(Int128 x) {
    return x < 0 ? -1 : x > 0 ? 1 : 0;
}

HRESULT Order(int sign) {
    return sign < 0 ? VARCMP_LT : sign > 0 ? VARCMP_GT : VARCMP_EQ;
}

bool IsExactType(VARTYPE vt) {
    return vt != VT_R4 && vt != VT_R8 && vt != VT_DATE && vt != VT_BSTR;
}

HRESULT CompareOperands(const VARIANT& l, const VARIANT& r, ULONG flags) {
    if (l.vt == VT_NULL || r.vt == VT_NULL) return VARCMP_NULL;
    const bool ltext = l.vt == VT_BSTR || l.vt == VT_EMPTY;
    const bool rtext = r.vt == VT_BSTR || r.vt == VT_EMPTY;
    if (ltext && rtext && (l.vt == VT_BSTR || r.vt == VT_BSTR)) {
        const std::u16string_view a = l.vt == VT_BSTR ? Text(l) : u"";
        const std::u16string_view b = r.vt == VT_BSTR ? Text(r) : u"";
        return Order(flags & NORM_IGNORECASE ? mv::CompareNoCase(a, b) : a.compare(b));
    }
    HRESULT hr = S_OK;
    if (IsExactType(l.vt) && IsExactType(r.vt)) {
        Exact a, b;
        hr = ToExact(l, &a);
        if (SUCCEEDED(hr)) hr = ToExact(r, &b);
        if (FAILED(hr)) return hr;
        AlignScales(&a, &b);
        return Order(Sign(a.mantissa - b.mantissa));
    }
    double a = 0.0, b = 0.0;
    hr = ToDouble(l, &a);
    if (SUCCEEDED(hr)) hr = ToDouble(r, &b);
    if (FAILED(hr)) return hr;
    if (std::isnan(a) || std::isnan(b)) return VARCMP_NULL;
    return Order(a < b ? -1 : a > b ? 1 : 0);
}

}  // namespace

extern "C" {

HRESULT VarAdd(LPVARIANT pvarLeft, LPVARIANT pvarRight, LPVARIANT pvarResult) {
    return ArithmeticOperator(Op::Add, pvarLeft, pvarRight, pvarResult);
}

HRESULT VarSub(LPVARIANT pvarLeft, LPVARIANT pvarRight, LPVARIANT pvarResult) {
    return ArithmeticOperator(Op::Sub, pvarLeft, pvarRight, pvarResult);
}

HRESULT VarMul(LPVARIANT pvarLeft, LPVARIANT pvarRight, LPVARIANT pvarResult) {
    return ArithmeticOperator(Op::Mul, pvarLeft, pvarRight, pvarResult);
}

HRESULT VarDiv(LPVARIANT pvarLeft, LPVARIANT pvarRight, LPVARIANT pvarResult) {
    return ArithmeticOperator(Op::Div, pvarLeft, pvarRight, pvarResult);
}

HRESULT VarIdiv(LPVARIANT pvarLeft, LPVARIANT pvarRight, LPVARIANT pvarResult) {
    return ArithmeticOperator(Op::Idiv, pvarLeft, pvarRight, pvarResult);
}

HRESULT VarMod(LPVARIANT pvarLeft, LPVARIANT pvarRight, LPVARIANT pvarResult) {
    return ArithmeticOperator(Op::Mod, pvarLeft, pvarRight, pvarResult);
}

HRESULT VarPow(LPVARIANT pvarLeft, LPVARIANT pvarRight, LPVARIANT pvarResult) {
    return ArithmeticOperator(Op::Pow, pvarLeft, pvarRight, pvarResult);
}

HRESULT VarNeg(LPVARIANT pvarIn, LPVARIANT pvarResult) {
    // Negation is 0 - x with the operand's own type kept where it can hold the
    // result: Boolean and Byte become Integer, Empty the Integer 0.
    VARIANT zero;
    VariantInit(&zero);
    return Binary(pvarIn, &zero, pvarResult, [](const Operand& x, const Operand&, VARIANT* out) {
        if (x->vt == VT_NULL) return out->vt = VT_NULL, S_OK;
        VARTYPE vt = x.type();
        if (vt == VT_EMPTY || vt == VT_BOOL || vt == VT_UI1) vt = VT_I2;
        if (vt == VT_BSTR) vt = VT_R8;
        if (vt == VT_R8 || vt == VT_R4 || vt == VT_DATE) {
            // Negating a double is exact; done directly so that NaN keeps its payload.
            double d = 0.0;
            const HRESULT hr = ToDouble(*x, &d);
            if (FAILED(hr)) return hr;
            if (vt == VT_DATE && !(-d >= kFirstDate && -d < kPastLastDate)) return DISP_E_OVERFLOW;
            out->vt = vt;
            if (vt == VT_R4)
                out->fltVal = static_cast<FLOAT>(-d);
            else
                out->dblVal = -d;
            return S_OK;
        }
        VARIANT none;
        VariantInit(&none);
        return Arithmetic(Op::Sub, vt, none, *x, out);
    });
}

HRESULT VarCat(LPVARIANT pvarLeft, LPVARIANT pvarRight, LPVARIANT pvarResult) {
    return Binary(pvarLeft, pvarRight, pvarResult,
                  [](const Operand& l, const Operand& r, VARIANT* out) {
                      if (l->vt == VT_NULL && r->vt == VT_NULL) return out->vt = VT_NULL, S_OK;
                      mv::Variant lo, ro;
                      std::u16string_view a, b;
                      HRESULT hr = CatText(*l, &lo, &a);
                      if (SUCCEEDED(hr)) hr = CatText(*r, &ro, &b);
                      return FAILED(hr) ? hr : Join(a, b, out);
                  });
}

HRESULT VarCmp(LPVARIANT pvarLeft, LPVARIANT pvarRight, LCID, ULONG dwFlags) {
    if (!pvarLeft || !pvarRight || (dwFlags & ~NORM_IGNORECASE)) return E_INVALIDARG;
    return mv::CallGuarded([&] {
        Operand l, r;
        HRESULT hr = l.Load(pvarLeft);
        if (SUCCEEDED(hr)) hr = r.Load(pvarRight);
        return FAILED(hr) ? hr : CompareOperands(*l, *r, dwFlags);
    });
}

HRESULT VarAnd(LPVARIANT pvarLeft, LPVARIANT pvarRight, LPVARIANT pvarResult) {
    return LogicalOperator(Logic::And, pvarLeft, pvarRight, pvarResult);
}

HRESULT VarOr(LPVARIANT pvarLeft, LPVARIANT pvarRight, LPVARIANT pvarResult) {
    return LogicalOperator(Logic::Or, pvarLeft, pvarRight, pvarResult);
}

HRESULT VarXor(LPVARIANT pvarLeft, LPVARIANT pvarRight, LPVARIANT pvarResult) {
    return LogicalOperator(Logic::Xor, pvarLeft, pvarRight, pvarResult);
}

HRESULT VarNot(LPVARIANT pvarIn, LPVARIANT pvarResult) {
    // Not x is x Xor all bits set, in x's own logical type.
    VARIANT zero;
    VariantInit(&zero);
    return Binary(pvarIn, &zero, pvarResult, [](const Operand& in, const Operand&, VARIANT* out) {
        mv::Variant x;
        HRESULT hr = LogicalOperand(*in, &x);
        if (FAILED(hr)) return hr;
        if (x.vt == VT_NULL) return out->vt = VT_NULL, S_OK;
        const VARTYPE vt = LogicalType(x.vt, x.vt);
        Int128 v = 0;
        hr = LogicalValue(x, vt, &v);
        if (FAILED(hr)) return hr;
        return StoreLogical(vt == VT_UI1 ? (~v & 0xFF) : vt == VT_BOOL ? !v : ~v, vt, out);
    });
}

}  // extern "C"
