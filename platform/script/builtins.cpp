// The table of built-in functions. Each takes its arguments by value, in
// script order, and answers a value or a failure. Conversions go through
// VariantChangeTypeEx; Null, arrays and objects follow each function's rule.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_map>

#include "com.h"
#include "oleaut/civil_date.h"
#include "oleaut/convert_internal.h"
#include "script/interpreter.h"

namespace mv::script {
namespace {

constexpr LONG kCannotCreateObject = 429;
constexpr LONG kObjectRequired = 424;
constexpr LONG kNotSupported = 438;
// The longest text a BSTR holds.
constexpr int64_t kMaxChars = 0x7FFFFFF0 / 2;

// Bodies fail by throwing; the table's entry turns that into the HRESULT.
struct Failure {
    HRESULT hr;
};
[[noreturn]] void Fail(HRESULT hr) {
    throw Failure{hr};
}
[[noreturn]] void FailNumber(LONG number) {
    Fail(ErrorScode(number));
}
void Check(HRESULT hr) {
    if (FAILED(hr)) Fail(hr);
}

struct Args {
    VARIANT* v;
    UINT n;
    BuiltinState* state;
    const VARIANT& operator[](UINT i) const { return v[i]; }
};
using Body = Value (*)(const Args&);

template <Body F>
HRESULT Call(VARIANT* args, UINT count, VARIANT* out, BuiltinState* state) {
    try {
        Value r = F(Args{args, count, state});
        *out = r.Detach();
        return S_OK;
    } catch (const Failure& f) {
        return f.hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

// ---------------------------------------------------------------------------
// Arguments
// ---------------------------------------------------------------------------

// The value where a scalar is expected: an object gives its default member,
// an array is a type mismatch.
Value Scalar(const VARIANT& in) {
    Value v;
    const HRESULT hr = convert::ResolveValue(in, LOCALE_USER_DEFAULT, &v);
    if (hr == E_OUTOFMEMORY) Fail(hr);
    if (FAILED(hr)) {
        const VARIANT* p = &in;
        while (p->vt == (VT_BYREF | VT_VARIANT) && p->pvarVal) p = p->pvarVal;
        if ((p->vt == VT_DISPATCH || p->vt == VT_UNKNOWN) && !p->punkVal)
            FailNumber(kObjectRequired);
        if (p->vt == VT_DISPATCH || p->vt == VT_UNKNOWN) FailNumber(kNotSupported);
        Fail(hr);
    }
    if (v.vt & VT_ARRAY || v.vt == VT_DISPATCH || v.vt == VT_UNKNOWN) Fail(DISP_E_TYPEMISMATCH);
    return v;
}

Value Change(const VARIANT& v, VARTYPE vt) {
    Value r;
    Check(VariantChangeTypeEx(&r, &v, LOCALE_USER_DEFAULT, VARIANT_ALPHABOOL, vt));
    return r;
}
// A non-Null scalar of type `vt`; Null is 94.
Value As(const VARIANT& in, VARTYPE vt) {
    Value v = Scalar(in);
    if (v.vt == VT_NULL) FailNumber(kErrorInvalidUseOfNull);
    if (v.vt == vt) return v;
    return Change(v, vt);
}
double Double(const VARIANT& in) {
    return As(in, VT_R8).dblVal;
}
LONG Long(const VARIANT& in) {
    return As(in, VT_I4).lVal;
}
// The text of a value: a text read where it stands, anything else converted
// (checked); never copied first, as a failed copy would hold no text.
std::u16string TextOf(const VARIANT& v) {
    if (v.vt == VT_BSTR)
        return std::u16string(v.bstrVal ? v.bstrVal : u"", SysStringLen(v.bstrVal));
    const Value t = Change(v, VT_BSTR);
    return std::u16string(t.bstrVal ? t.bstrVal : u"", SysStringLen(t.bstrVal));
}
std::u16string Text(const VARIANT& in) {
    return TextOf(As(in, VT_BSTR));
}
// An optional argument is given: there, and not left out of the call list.
bool Given(const Args& a, UINT i) {
    return i < a.n && !(a[i].vt == VT_ERROR && a[i].scode == DISP_E_PARAMNOTFOUND);
}
// An optional argument's Long, or `otherwise` when it is not given.
LONG Optional(const Args& a, UINT i, LONG otherwise) {
    return Given(a, i) ? Long(a[i]) : otherwise;
}
// An optional Boolean argument (any non-zero number is true).
bool OptionalFlag(const Args& a, UINT i) {
    return Given(a, i) && As(a[i], VT_BOOL).boolVal != VARIANT_FALSE;
}
// A comparison argument: 0 binary, 1 text.
bool TextCompare(const Args& a, UINT i) {
    const LONG c = Optional(a, i, 0);
    if (c != 0 && c != 1) FailNumber(kErrorInvalidProcedureCall);
    return c == 1;
}

Value Null() {
    Value v;
    v.vt = VT_NULL;
    return v;
}
Value Int(SHORT i) {
    Value v;
    v.vt = VT_I2, v.iVal = i;
    return v;
}
Value Lng(int64_t i) {
    if (i < INT32_MIN || i > INT32_MAX) Fail(DISP_E_OVERFLOW);
    return Value(static_cast<LONG>(i));
}
Value Bool(bool b) {
    return Value(b);
}
Value Dbl(double d) {
    if (!std::isfinite(d)) Fail(DISP_E_OVERFLOW);
    return Value(d);
}
Value Str(std::u16string_view s) {
    if (static_cast<int64_t>(s.size()) > kMaxChars) Fail(E_OUTOFMEMORY);
    Value v(s);
    if (!v.bstrVal) Fail(E_OUTOFMEMORY);
    return v;
}

// ---------------------------------------------------------------------------
// Objects and value tests
// ---------------------------------------------------------------------------

Value CreateObjectFn(const Args& a) {
    const std::u16string progId = Text(a[0]);
    CLSID clsid{};
    if (FAILED(CLSIDFromProgID(progId.c_str(), &clsid))) FailNumber(kCannotCreateObject);
    Value v;
    if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                reinterpret_cast<void**>(&v.pdispVal))) ||
        !v.pdispVal)
        FailNumber(kCannotCreateObject);
    v.vt = VT_DISPATCH;
    return v;
}

bool IsObjectValue(const VARIANT& v) {
    return v.vt == VT_DISPATCH || v.vt == VT_UNKNOWN;
}
Value IsEmptyFn(const Args& a) {
    return Bool(a[0].vt == VT_EMPTY);
}
Value IsNullFn(const Args& a) {
    return Bool(a[0].vt == VT_NULL);
}
Value IsObjectFn(const Args& a) {
    return Bool(IsObjectValue(a[0]));
}
Value IsArrayFn(const Args& a) {
    return Bool((a[0].vt & VT_ARRAY) != 0);
}
// A scalar, or Empty when the argument has none (an array, an object
// without a default member).
Value TryScalar(const VARIANT& in) {
    try {
        return Scalar(in);
    } catch (const Failure&) {
        return Value();
    }
}
Value IsNumericFn(const Args& a) {
    const Value v = TryScalar(a[0]);
    if ((a[0].vt & VT_ARRAY) || v.vt == VT_NULL || v.vt == VT_DATE) return Bool(false);
    if (v.vt == VT_EMPTY) return Bool(!(a[0].vt & VT_ARRAY) && !IsObjectValue(a[0]));
    if (v.vt != VT_BSTR) return Bool(true);
    convert::ParsedNumber n;
    return Bool(SUCCEEDED(
        convert::ParseNumber(std::u16string_view(v.bstrVal, SysStringLen(v.bstrVal)), &n)));
}
Value IsDateFn(const Args& a) {
    const Value v = TryScalar(a[0]);
    if (v.vt == VT_DATE) return Bool(true);
    if (v.vt != VT_BSTR) return Bool(false);
    DATE d = 0;
    return Bool(SUCCEEDED(VarDateFromStr(v.bstrVal, LOCALE_USER_DEFAULT, 0, &d)));
}

// The name of a value's subtype, as TypeName gives it.
std::u16string_view TypeNameOf(VARTYPE vt) {
    switch (vt) {
        case VT_EMPTY:
            return u"Empty";
        case VT_NULL:
            return u"Null";
        case VT_I2:
            return u"Integer";
        case VT_I4:
            return u"Long";
        case VT_R4:
            return u"Single";
        case VT_R8:
            return u"Double";
        case VT_CY:
            return u"Currency";
        case VT_DATE:
            return u"Date";
        case VT_BSTR:
            return u"String";
        case VT_BOOL:
            return u"Boolean";
        case VT_UI1:
            return u"Byte";
        case VT_DECIMAL:
            return u"Decimal";
        case VT_ERROR:
            return u"Error";
        case VT_I8:
            return u"LongLong";
        default:
            return u"Unknown";
    }
}
Value TypeNameFn(const Args& a) {
    const VARIANT& v = a[0];
    if (v.vt & VT_ARRAY) {
        const VARTYPE e = v.vt & VT_TYPEMASK;
        return Str(std::u16string(e == VT_VARIANT ? u"Variant" : TypeNameOf(e)) + u"()");
    }
    if (v.vt == VT_DISPATCH) return Str(v.pdispVal ? u"Object" : u"Nothing");
    if (v.vt == VT_UNKNOWN) return Str(u"Unknown");
    return Str(TypeNameOf(v.vt));
}
// An object answers its default member's type, or vbObject without one.
Value VarTypeFn(const Args& a) {
    VARTYPE vt = a[0].vt;
    if (vt == VT_DISPATCH) {
        Value v;
        vt = a[0].pdispVal && SUCCEEDED(convert::ResolveValue(a[0], LOCALE_USER_DEFAULT, &v))
                 ? v.vt
                 : static_cast<VARTYPE>(VT_DISPATCH);
    }
    return Int(static_cast<SHORT>(vt));
}

// ---------------------------------------------------------------------------
// Conversions
// ---------------------------------------------------------------------------

template <VARTYPE VT>
Value Convert(const Args& a) {
    return As(a[0], VT);
}
// CDate reads a text that is no date but a number as that number ("1" is
// 12/31/1899).
Value CDateFn(const Args& a) {
    Value v = Scalar(a[0]);
    DATE d = 0;
    convert::ParsedNumber n;
    if (v.vt == VT_BSTR && FAILED(VarDateFromStr(v.bstrVal, LOCALE_USER_DEFAULT, 0, &d)) &&
        SUCCEEDED(
            convert::ParseNumber(std::u16string_view(v.bstrVal, SysStringLen(v.bstrVal)), &n)))
        v = Change(v, VT_R8);
    return As(v, VT_DATE);
}

// ---------------------------------------------------------------------------
// Math
// ---------------------------------------------------------------------------

// A numeric scalar for the math functions: text reads as a Double, a Boolean
// or Empty as an Integer.
Value Number(const VARIANT& in) {
    Value v = Scalar(in);
    switch (v.vt) {
        case VT_NULL:
        case VT_I2:
        case VT_I4:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_UI1:
            return v;
        case VT_BOOL:
        case VT_EMPTY:
            return Change(v, VT_I2);
        default:
            return Change(v, VT_R8);
    }
}

Value AbsFn(const Args& a) {
    Value v = Number(a[0]);
    if (v.vt == VT_NULL) return v;
    if (Double(v) >= 0) return v;
    Value r;
    Check(VarNeg(&v, &r));
    return r;
}

template <double (*F)(double)>
Value Real(const Args& a) {
    const Value v = Scalar(a[0]);
    if (v.vt == VT_NULL) return v;
    return Dbl(F(Double(v)));
}
double LogChecked(double x) {
    if (!(x > 0)) FailNumber(kErrorInvalidProcedureCall);
    return std::log(x);
}
double SqrChecked(double x) {
    if (x < 0) FailNumber(kErrorInvalidProcedureCall);
    return std::sqrt(x);
}

// Int rounds down, Fix towards zero; the value keeps its type.
template <bool Down>
Value WholeFn(const Args& a) {
    Value v = Number(a[0]);
    auto whole = [](double d) { return Down ? std::floor(d) : std::trunc(d); };
    switch (v.vt) {
        case VT_R8:
        case VT_DATE:
            v.dblVal = whole(v.dblVal);
            break;
        case VT_R4:
            v.fltVal = static_cast<float>(whole(v.fltVal));
            break;
        case VT_CY: {
            const LONGLONG q = v.cyVal.int64 / 10000, rest = v.cyVal.int64 % 10000;
            v.cyVal.int64 = (q - (Down && rest < 0 ? 1 : 0)) * 10000;
            break;
        }
        default:
            break;
    }
    return v;
}

// A number's decimal digits: value = 0.digits x 10^exponent, at most 15
// significant digits (the precision a Double prints with).
struct Digits {
    bool negative = false;
    std::string digits;  // without leading zeros; empty for zero
    int exponent = 0;
};
Digits DigitsOf(double x) {
    Digits d;
    d.negative = std::signbit(x);
    if (x == 0) return d;
    if (!std::isfinite(x)) Fail(DISP_E_OVERFLOW);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.14e", std::fabs(x));
    const char* e = std::strchr(buf, 'e');
    d.digits = std::string(1, buf[0]) + std::string(buf + 2, static_cast<size_t>(e - (buf + 2)));
    d.exponent = std::atoi(e + 1) + 1;
    while (!d.digits.empty() && d.digits.back() == '0') d.digits.pop_back();
    return d;
}
// Keeps `decimals` digits after the point; a tie goes to the even digit or
// away from zero.
Digits RoundDigits(Digits d, int decimals, bool halfEven) {
    const int keep = d.exponent + decimals;
    if (keep >= static_cast<int>(d.digits.size())) return d;
    if (keep < 0) return d.digits.clear(), d;
    const char next = d.digits[keep];
    const bool tie = next == '5' && d.digits.find_first_not_of('0', keep + 1) == std::string::npos;
    const bool odd = keep > 0 && (d.digits[keep - 1] - '0') % 2 == 1;
    const bool up = next > '5' || (next == '5' && (!tie || !halfEven || odd));
    d.digits.resize(keep);
    if (up) {
        int i = keep - 1;
        while (i >= 0 && d.digits[i] == '9') d.digits[i--] = '0';
        if (i < 0)
            d.digits.insert(d.digits.begin(), '1'), ++d.exponent;
        else
            ++d.digits[i];
    }
    while (!d.digits.empty() && d.digits.back() == '0') d.digits.pop_back();
    return d;
}
double DoubleOf(const Digits& d) {
    if (d.digits.empty()) return d.negative ? -0.0 : 0.0;
    const std::string text =
        std::string(d.negative ? "-0." : "0.") + d.digits + "e" + std::to_string(d.exponent);
    return std::strtod(text.c_str(), nullptr);
}

// Rounds half to even on the 15 digits a Double prints with; a value with
// no digit beyond `decimals` among them is left as it is.
double RoundDouble(double x, int decimals) {
    if (!std::isfinite(x)) return x;
    const Digits d = DigitsOf(x);
    return d.exponent + decimals >= 15 ? x : DoubleOf(RoundDigits(d, decimals, true));
}

Value RoundFn(const Args& a) {
    if (Scalar(a[0]).vt == VT_BOOL) return Scalar(a[0]);  // a Boolean stays one
    Value v = Number(a[0]);
    const LONG decimals = Optional(a, 1, 0);
    if (decimals < 0) FailNumber(kErrorInvalidProcedureCall);
    switch (v.vt) {
        case VT_R8:
        case VT_DATE:
            v.dblVal = RoundDouble(v.dblVal, decimals);
            break;
        case VT_R4:
            v.fltVal = static_cast<float>(RoundDouble(v.fltVal, decimals));
            break;
        case VT_CY:
            if (decimals < 4) {
                const convert::Exact e{v.cyVal.int64, 4 - decimals};
                v.cyVal.int64 = static_cast<LONGLONG>(convert::RoundExactToInt128(e) *
                                                      convert::Pow10(4 - decimals));
            }
            break;
        default:
            break;
    }
    return v;
}

Value SgnFn(const Args& a) {
    const double d = Double(Number(a[0]));
    return Int(d > 0 ? 1 : d < 0 ? -1 : 0);
}

// ---------------------------------------------------------------------------
// Strings
// ---------------------------------------------------------------------------

// Text comparison folds ASCII letters.
std::u16string Fold(std::u16string s) {
    for (char16_t& c : s)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    return s;
}
// Where `find` occurs in `text` from `from`, or npos.
size_t Find(const std::u16string& text, const std::u16string& find, size_t from, bool folded) {
    return folded ? Fold(text).find(Fold(find), from) : text.find(find, from);
}

// The text of a string function's first argument; false for Null.
bool TextOrNull(const VARIANT& in, std::u16string* out) {
    const Value v = Scalar(in);
    if (v.vt == VT_NULL) return false;
    *out = TextOf(v);
    return true;
}
// A length or count argument: Null is 94, below zero is 5.
size_t Count(const VARIANT& in) {
    const LONG n = Long(in);
    if (n < 0) FailNumber(kErrorInvalidProcedureCall);
    return static_cast<size_t>(n);
}

Value LenFn(const Args& a) {
    std::u16string s;
    return TextOrNull(a[0], &s) ? Lng(static_cast<int64_t>(s.size())) : Null();
}
Value LeftFn(const Args& a) {
    std::u16string s;
    const bool have = TextOrNull(a[0], &s);
    const size_t n = Count(a[1]);
    return have ? Str(s.substr(0, n)) : Null();
}
Value RightFn(const Args& a) {
    std::u16string s;
    const bool have = TextOrNull(a[0], &s);
    const size_t n = std::min(Count(a[1]), s.size());
    return have ? Str(s.substr(s.size() - n)) : Null();
}
Value MidFn(const Args& a) {
    std::u16string s;
    const bool have = TextOrNull(a[0], &s);
    const LONG start = Long(a[1]);
    if (start < 1) FailNumber(kErrorInvalidProcedureCall);
    const size_t n = Given(a, 2) ? Count(a[2]) : std::u16string::npos;
    if (!have) return Null();
    return Str(static_cast<size_t>(start) > s.size() ? u"" : s.substr(start - 1, n));
}

// InStr([start, ]text, find[, compare]).
Value InStrFn(const Args& a) {
    const UINT first = a.n > 2 ? 1 : 0;
    const LONG start = first ? Long(a[0]) : 1;
    if (start < 1) FailNumber(kErrorInvalidProcedureCall);
    const bool folded = TextCompare(a, 3);
    std::u16string text, find;
    const bool have = TextOrNull(a[first], &text);
    if (!TextOrNull(a[first + 1], &find) || !have) return Null();
    if (static_cast<size_t>(start) > text.size()) return Lng(0);
    if (find.empty()) return Lng(start);
    const size_t at = Find(text, find, start - 1, folded);
    return Lng(at == std::u16string::npos ? 0 : static_cast<int64_t>(at) + 1);
}
// InStrRev(text, find[, start[, compare]]): start -1 is the end.
Value InStrRevFn(const Args& a) {
    const LONG start = Optional(a, 2, -1);
    if (start == 0 || start < -1) FailNumber(kErrorInvalidProcedureCall);
    const bool folded = TextCompare(a, 3);
    std::u16string text, find;
    // Unlike InStr, a Null text is no Null result but an error.
    if (!TextOrNull(a[0], &text) || !TextOrNull(a[1], &find)) FailNumber(kErrorInvalidUseOfNull);
    const size_t end = start == -1 ? text.size() : static_cast<size_t>(start);
    if (end > text.size()) return Lng(0);
    if (find.empty()) return Lng(static_cast<int64_t>(end));
    if (find.size() > end) return Lng(0);
    const size_t at = folded ? Fold(text).rfind(Fold(find), end - find.size())
                             : text.rfind(find, end - find.size());
    return Lng(at == std::u16string::npos ? 0 : static_cast<int64_t>(at) + 1);
}

template <bool Leading, bool Trailing>
Value TrimFn(const Args& a) {
    std::u16string s;
    if (!TextOrNull(a[0], &s)) return Null();
    size_t b = 0, e = s.size();
    if (Leading)
        while (b < e && s[b] == u' ') ++b;
    if (Trailing)
        while (e > b && s[e - 1] == u' ') --e;
    return Str(s.substr(b, e - b));
}

template <bool Upper>
Value CaseFn(const Args& a) {
    std::u16string s;
    if (!TextOrNull(a[0], &s)) return Null();
    for (char16_t& c : s) {
        if (Upper && c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
        if (!Upper && c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    }
    return Str(s);
}

// Replace(text, find, with[, start[, count[, compare]]]): the result starts
// at `start`.
Value ReplaceFn(const Args& a) {
    const std::u16string text = Text(a[0]), find = Text(a[1]), with = Text(a[2]);
    const LONG start = Optional(a, 3, 1), count = Optional(a, 4, -1);
    if (start < 1 || count < -1) FailNumber(kErrorInvalidProcedureCall);
    const bool folded = TextCompare(a, 5);
    if (static_cast<size_t>(start) > text.size()) return Str(u"");
    const std::u16string rest = text.substr(start - 1);
    if (find.empty() || count == 0) return Str(rest);
    const std::u16string key = folded ? Fold(rest) : rest, what = folded ? Fold(find) : find;
    std::vector<size_t> at;
    for (size_t p = key.find(what);
         p != std::u16string::npos && (count < 0 || at.size() < static_cast<size_t>(count));
         p = key.find(what, p + what.size()))
        at.push_back(p);
    const int64_t length = static_cast<int64_t>(rest.size()) +
                           static_cast<int64_t>(at.size()) * (static_cast<int64_t>(with.size()) -
                                                              static_cast<int64_t>(find.size()));
    if (length > kMaxChars) Fail(E_OUTOFMEMORY);
    std::u16string out;
    out.reserve(static_cast<size_t>(length));
    size_t from = 0;
    for (const size_t p : at) {
        out.append(rest, from, p - from).append(with);
        from = p + find.size();
    }
    out.append(rest, from);
    return Str(out);
}

Value StrCompFn(const Args& a) {
    const bool folded = TextCompare(a, 2);
    std::u16string l, r;
    const bool have = TextOrNull(a[0], &l);
    if (!TextOrNull(a[1], &r) || !have) return Null();
    const int c = folded ? Fold(l).compare(Fold(r)) : l.compare(r);
    return Int(c < 0 ? -1 : c > 0 ? 1 : 0);
}

// The characters of codes 128 to 159 in the en-US code page (1252).
constexpr char16_t kHighCodes[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
char16_t CharOfCode(LONG code) {
    if (code < 0 || code > 255) FailNumber(kErrorInvalidProcedureCall);
    return code >= 128 && code < 160 ? kHighCodes[code - 128] : static_cast<char16_t>(code);
}
Value ChrFn(const Args& a) {
    return Str(std::u16string(1, CharOfCode(Long(a[0]))));
}
// A character outside the code page is "?".
Value AscFn(const Args& a) {
    const std::u16string s = Text(a[0]);
    if (s.empty()) FailNumber(kErrorInvalidProcedureCall);
    const char16_t c = s[0];
    if (c < 128 || (c >= 160 && c < 256)) return Int(static_cast<SHORT>(c));
    const auto* hit = std::find(std::begin(kHighCodes), std::end(kHighCodes), c);
    return Int(hit == std::end(kHighCodes) ? SHORT{'?'}
                                           : static_cast<SHORT>(128 + (hit - kHighCodes)));
}

Value Repeat(size_t n, char16_t c) {
    if (static_cast<int64_t>(n) > kMaxChars) Fail(E_OUTOFMEMORY);
    return Str(std::u16string(n, c));
}
Value SpaceFn(const Args& a) {
    return Repeat(Count(a[0]), u' ');
}
// String(count, character): a character code or a text's first character.
Value StringFn(const Args& a) {
    const Value n = Scalar(a[0]), c = Scalar(a[1]);
    if (n.vt == VT_NULL || c.vt == VT_NULL) return Null();
    const size_t count = Count(n);
    if (c.vt == VT_BSTR) {
        if (SysStringLen(c.bstrVal) == 0) FailNumber(kErrorInvalidProcedureCall);
        return Repeat(count, c.bstrVal[0]);
    }
    const LONG code = Long(c);
    return Repeat(count, CharOfCode(((code % 256) + 256) % 256));
}

// Hex and Oct: an Integer or Byte prints in 16 bits, anything else as a Long.
template <bool Octal>
Value RadixFn(const Args& a) {
    const Value v = Scalar(a[0]);
    if (v.vt == VT_NULL) return v;
    const char* format = Octal ? "%o" : "%X";
    char buf[16];
    if (v.vt == VT_I2 || v.vt == VT_UI1 || v.vt == VT_BOOL || v.vt == VT_EMPTY)
        std::snprintf(buf, sizeof buf, format,
                      static_cast<unsigned>(static_cast<uint16_t>(As(v, VT_I2).iVal)));
    else
        std::snprintf(buf, sizeof buf, format, static_cast<unsigned>(Long(v)));
    return Str(std::u16string(buf, buf + std::strlen(buf)));
}

// FormatNumber(value[, decimals[, leading digit[, parentheses[, groups]]]])
// in en-US: ties round away from zero; the tristates are -1 true, 0 false,
// -2 the locale's default. FormatCurrency and FormatPercent take the same
// arguments and put their sign around the number; Null is a type mismatch.
enum class NumberStyle { Plain, Currency, Percent };
template <NumberStyle Style>
Value FormatNumberFn(const Args& a) {
    const Value n = Number(a[0]);
    if (n.vt == VT_NULL) Fail(DISP_E_TYPEMISMATCH);
    const double x = Double(n) * (Style == NumberStyle::Percent ? 100 : 1);
    LONG decimals = Optional(a, 1, -1);
    if (decimals == -1) decimals = 2;
    if (decimals < 0 || decimals > 255) FailNumber(kErrorInvalidProcedureCall);
    auto tristate = [&](UINT i, bool otherwise) {
        const LONG t = Optional(a, i, -2);
        if (t != -2 && t != -1 && t != 0) FailNumber(kErrorInvalidProcedureCall);
        return t == -2 ? otherwise : t == -1;
    };
    // The en-US currency format shows a negative amount in parentheses.
    const bool leading = tristate(2, true), groups = tristate(4, true),
               parens = tristate(3, Style == NumberStyle::Currency);
    const Digits d = RoundDigits(DigitsOf(x), decimals, false);
    auto digit = [&](int i) {
        return i >= 0 && i < static_cast<int>(d.digits.size()) ? d.digits[i] : '0';
    };
    std::u16string whole;
    for (int i = 0; i < d.exponent; ++i) {
        if (groups && i > 0 && (d.exponent - i) % 3 == 0) whole += u',';
        whole += static_cast<char16_t>(digit(i));
    }
    if (whole.empty() && (leading || decimals == 0)) whole.push_back(u'0');
    std::u16string out = whole;
    if (decimals > 0) {
        out += u'.';
        for (int i = 0; i < decimals; ++i) out += static_cast<char16_t>(digit(d.exponent + i));
    }
    if (Style == NumberStyle::Currency) out.insert(out.begin(), u'$');
    if (Style == NumberStyle::Percent) out.push_back(u'%');
    if (!d.negative || d.digits.empty()) return Str(out);
    out.insert(out.begin(), parens ? u'(' : u'-');
    if (parens) out.push_back(u')');
    return Str(out);
}

// ---------------------------------------------------------------------------
// Arrays
// ---------------------------------------------------------------------------

Value VariantArray(ULONG count) {
    Value v;
    v.parray = SafeArrayCreateVector(VT_VARIANT, 0, count);
    if (!v.parray) Fail(E_OUTOFMEMORY);
    v.vt = VT_ARRAY | VT_VARIANT;
    return v;
}
Value ArrayFn(const Args& a) {
    Value v = VariantArray(a.n);
    for (LONG i = 0; i < static_cast<LONG>(a.n); ++i)
        Check(SafeArrayPutElement(v.parray, &i, &a.v[i]));
    return v;
}

// An array of the texts.
Value TextArray(const std::vector<std::u16string>& texts) {
    Value v = VariantArray(static_cast<ULONG>(texts.size()));
    for (LONG i = 0; i < static_cast<LONG>(texts.size()); ++i) {
        Value s = Str(texts[i]);
        Check(SafeArrayPutElement(v.parray, &i, &s));
    }
    return v;
}

// LBound/UBound(array[, dimension]): dimensions count from 1.
template <bool Upper>
Value BoundFn(const Args& a) {
    if (!(a[0].vt & VT_ARRAY)) Fail(DISP_E_TYPEMISMATCH);
    if (!a[0].parray) Fail(DISP_E_BADINDEX);  // an array without elements (Dim a(), Erase)
    const LONG dim = Optional(a, 1, 1);
    if (dim < 1) Fail(DISP_E_BADINDEX);
    LONG b = 0;
    const HRESULT hr = Upper ? SafeArrayGetUBound(a[0].parray, static_cast<UINT>(dim), &b)
                             : SafeArrayGetLBound(a[0].parray, static_cast<UINT>(dim), &b);
    if (FAILED(hr)) Fail(DISP_E_BADINDEX);
    return Lng(b);
}

// Split(text[, delimiter[, count[, compare]]]): an array of strings, the
// last holding the rest when count runs out.
Value SplitFn(const Args& a) {
    const std::u16string text = Text(a[0]);
    const std::u16string delimiter = Given(a, 1) ? Text(a[1]) : u" ";
    const LONG count = Optional(a, 2, -1);
    if (count < -1) FailNumber(kErrorInvalidProcedureCall);
    const bool folded = TextCompare(a, 3);
    std::vector<std::u16string> parts;
    if (!text.empty() && count != 0) {
        size_t from = 0;
        for (;;) {
            const size_t at =
                delimiter.empty() || (count > 0 && parts.size() + 1 == static_cast<size_t>(count))
                    ? std::u16string::npos
                    : Find(text, delimiter, from, folded);
            if (at == std::u16string::npos) break;
            parts.push_back(text.substr(from, at - from));
            from = at + delimiter.size();
        }
        parts.push_back(text.substr(from));
    }
    return TextArray(parts);
}

// Visits the elements of a one-dimensional array of element type `vt`, in
// order, each as a value; `first` is true for the lowest index.
template <typename Visit>
void ForEachElement(const VARIANT& list, VARTYPE vt, Visit&& visit) {
    LONG lower = 0, upper = -1;
    Check(SafeArrayGetLBound(list.parray, 1, &lower));
    Check(SafeArrayGetUBound(list.parray, 1, &upper));
    for (LONG i = lower; i <= upper; ++i) {
        Value e;
        if (vt == VT_VARIANT) {
            Check(SafeArrayGetElement(list.parray, &i, &e));
        } else {
            Check(SafeArrayGetElement(list.parray, &i, &e.lVal));
            e.vt = vt;
        }
        visit(i == lower, e);
    }
}

// Join(array[, delimiter]): a one-dimensional array; Null elements are "".
Value JoinFn(const Args& a) {
    const VARIANT& list = a[0];
    if (!(list.vt & VT_ARRAY) || !list.parray || SafeArrayGetDim(list.parray) != 1)
        Fail(DISP_E_TYPEMISMATCH);
    const std::u16string delimiter = Given(a, 1) ? Text(a[1]) : u" ";
    const VARTYPE vt = list.vt & VT_TYPEMASK;
    if (vt == VT_DECIMAL || vt == VT_RECORD) Fail(DISP_E_TYPEMISMATCH);
    std::u16string out;
    ForEachElement(list, vt, [&](bool first, const Value& e) {
        const Value s = Scalar(e);
        const std::u16string t = s.vt == VT_NULL ? std::u16string() : TextOf(s);
        const size_t gap = first ? 0 : delimiter.size();
        if (static_cast<int64_t>(out.size() + gap + t.size()) > kMaxChars) Fail(E_OUTOFMEMORY);
        if (gap) out += delimiter;
        out += t;
    });
    return Str(out);
}

// ---------------------------------------------------------------------------
// Dates
// ---------------------------------------------------------------------------

// A DATE counts its time of day forward even before 12/30/1899; a linear
// time runs on the number line (whole days plus fraction).
double LinearOf(DATE d) {
    const double day = std::trunc(d);
    return day + std::fabs(d - day);
}
Value DateOfLinear(double linear) {
    // Dates beyond the platform's range raise 5.
    if (!(linear >= convert::kFirstDate && linear < convert::kPastLastDate))
        FailNumber(kErrorInvalidProcedureCall);
    const double day = std::floor(linear);
    Value v;
    v.vt = VT_DATE;
    v.date = day >= 0 ? linear : day - (linear - day);
    return v;
}

// A date taken apart, to the nearest second.
struct Moment {
    int64_t day;     // from 12/30/1899
    int64_t second;  // of the day
    civil::Civil civil;
    int64_t Seconds() const { return day * 86400 + second; }
};
int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - (a % b != 0 && (a < 0) != (b < 0));
}
Moment MomentOf(double linear) {
    const int64_t total = std::llround(linear * 86400.0);
    Moment m;
    m.day = FloorDiv(total, 86400);
    m.second = total - m.day * 86400;
    m.civil = civil::CivilFromDays(m.day + civil::kDateEpochDay);
    return m;
}
// A date argument (text reads as a date); false for Null.
bool DateArg(const VARIANT& in, Moment* out) {
    const Value v = Scalar(in);
    if (v.vt == VT_NULL) return false;
    // An object may hand over a DATE no calendar holds.
    const double linear = LinearOf(As(v, VT_DATE).date);
    if (!(linear >= convert::kFirstDate && linear < convert::kPastLastDate))
        FailNumber(kErrorInvalidProcedureCall);
    *out = MomentOf(linear);
    return true;
}
int64_t DayOf(int64_t year, int64_t month, int64_t day) {
    if (year < 100 || year > 9999) FailNumber(kErrorInvalidProcedureCall);
    return civil::DaysFromCivil(year, static_cast<unsigned>(month), 1) - civil::kDateEpochDay +
           day - 1;
}
// The day of the week, 1 for `first` (1 Sunday .. 7 Saturday).
int WeekdayOf(int64_t day, LONG first) {
    const int64_t sunday0 = ((day - 1) % 7 + 7) % 7;  // 12/31/1899 was a Sunday
    return static_cast<int>((sunday0 - (first - 1) + 7) % 7) + 1;
}
// A first-day-of-week argument: 0 is the locale's (Sunday), 1 to 7.
LONG FirstDay(const Args& a, UINT i) {
    const LONG f = Optional(a, i, 1);
    if (f < 0 || f > 7) FailNumber(kErrorInvalidProcedureCall);
    return f == 0 ? 1 : f;
}
LONG FirstWeek(const Args& a, UINT i) {
    const LONG w = Optional(a, i, 1);
    if (w < 0 || w > 3) FailNumber(kErrorInvalidProcedureCall);
    return w == 0 ? 1 : w;
}

Value Today() {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    DATE d = 0;
    SystemTimeToVariantTime(&st, &d);
    Value v;
    v.vt = VT_DATE, v.date = d;
    return v;
}
Value NowFn(const Args&) {
    return Today();
}
Value DateFn(const Args&) {
    Value v = Today();
    v.date = std::floor(v.date);
    return v;
}
Value TimeFn(const Args&) {
    Value v = Today();
    v.date -= std::floor(v.date);
    return v;
}

// DateSerial(year, month, day): months and days roll over; years 0 to 29
// are 2000 to 2029 and 30 to 99 are 1930 to 1999, as in text dates.
Value DateSerialFn(const Args& a) {
    int64_t year = Long(a[0]);
    const int64_t month = Long(a[1]), day = Long(a[2]);
    if (year >= 0 && year <= 99) year += year < 30 ? 2000 : 1900;
    const int64_t months = year * 12 + month - 1;
    return DateOfLinear(static_cast<double>(
        DayOf(FloorDiv(months, 12), months - FloorDiv(months, 12) * 12 + 1, day)));
}
Value TimeSerialFn(const Args& a) {
    const int64_t seconds = int64_t{Long(a[0])} * 3600 + int64_t{Long(a[1])} * 60 + Long(a[2]);
    return DateOfLinear(static_cast<double>(seconds) / 86400.0);
}

// The parts of a date; Null gives Null.
enum class Part { Year, Quarter, Month, DayOfYear, Day, Weekday, Week, Hour, Minute, Second };
Value PartOf(const Moment& m, Part p, LONG first, LONG firstWeek) {
    switch (p) {
        case Part::Year:
            return Int(static_cast<SHORT>(m.civil.year));
        case Part::Quarter:
            return Int(static_cast<SHORT>((m.civil.month - 1) / 3 + 1));
        case Part::Month:
            return Int(static_cast<SHORT>(m.civil.month));
        case Part::DayOfYear:
            return Int(static_cast<SHORT>(m.day - DayOf(m.civil.year, 1, 1) + 1));
        case Part::Day:
            return Int(static_cast<SHORT>(m.civil.day));
        case Part::Weekday:
            return Int(static_cast<SHORT>(WeekdayOf(m.day, first)));
        case Part::Week: {
            // Week 1 holds January 1st, or is the first with four days of
            // the year, or the first whole week.
            auto weekOne = [&](int64_t year) {
                const int64_t jan1 = DayOf(year, 1, 1);
                const int64_t start = jan1 - (WeekdayOf(jan1, first) - 1);
                if (firstWeek == 2 && jan1 - start >= 4) return start + 7;
                if (firstWeek == 3 && start != jan1) return start + 7;
                return start;
            };
            int64_t one = weekOne(m.civil.year);
            if (m.day < one) one = m.civil.year > 100 ? weekOne(m.civil.year - 1) : one - 371;
            return Int(static_cast<SHORT>(FloorDiv(m.day - one, 7) + 1));
        }
        case Part::Hour:
            return Int(static_cast<SHORT>(m.second / 3600));
        case Part::Minute:
            return Int(static_cast<SHORT>(m.second / 60 % 60));
        case Part::Second:
            return Int(static_cast<SHORT>(m.second % 60));
    }
    return Value();
}
template <Part P>
Value PartFn(const Args& a) {
    Moment m;
    const LONG first = P == Part::Weekday ? FirstDay(a, 1) : 1;
    return DateArg(a[0], &m) ? PartOf(m, P, first, 1) : Null();
}

// The intervals of DateAdd, DateDiff and DatePart.
Part Interval(const VARIANT& in) {
    static constexpr std::pair<std::u16string_view, Part> kIntervals[] = {
        {u"yyyy", Part::Year}, {u"q", Part::Quarter}, {u"m", Part::Month}, {u"y", Part::DayOfYear},
        {u"d", Part::Day},     {u"w", Part::Weekday}, {u"ww", Part::Week}, {u"h", Part::Hour},
        {u"n", Part::Minute},  {u"s", Part::Second}};
    const std::u16string name = Fold(Text(in));
    for (const auto& [text, part] : kIntervals)
        if (name == text) return part;
    FailNumber(kErrorInvalidProcedureCall);
}

Value DatePartFn(const Args& a) {
    const Part p = Interval(a[0]);
    const LONG first = FirstDay(a, 2), firstWeek = FirstWeek(a, 3);
    Moment m;
    return DateArg(a[1], &m) ? PartOf(m, p, first, firstWeek) : Null();
}

// DateAdd(interval, number, date): months clamp to the month's last day.
Value DateAddFn(const Args& a) {
    const Part p = Interval(a[0]);
    const int64_t n = Long(a[1]);
    Moment m;
    if (!DateArg(a[2], &m)) return Null();
    const double linear = static_cast<double>(m.Seconds()) / 86400.0;
    switch (p) {
        case Part::Year:
        case Part::Quarter:
        case Part::Month: {
            const int64_t months = m.civil.year * 12 + (m.civil.month - 1) +
                                   n * (p == Part::Year      ? 12
                                        : p == Part::Quarter ? 3
                                                             : 1);
            const int64_t year = FloorDiv(months, 12), month = months - year * 12 + 1;
            if (year < 100 || year > 9999) FailNumber(kErrorInvalidProcedureCall);
            const int64_t day = std::min<int64_t>(
                m.civil.day, civil::DaysInMonth(year, static_cast<unsigned>(month)));
            return DateOfLinear(static_cast<double>(DayOf(year, month, day)) +
                                static_cast<double>(m.second) / 86400.0);
        }
        case Part::DayOfYear:
        case Part::Day:
        case Part::Weekday:
            return DateOfLinear(linear + static_cast<double>(n));
        case Part::Week:
            return DateOfLinear(linear + static_cast<double>(n) * 7);
        case Part::Hour:
            return DateOfLinear(static_cast<double>(m.Seconds() + n * 3600) / 86400.0);
        case Part::Minute:
            return DateOfLinear(static_cast<double>(m.Seconds() + n * 60) / 86400.0);
        case Part::Second:
            return DateOfLinear(static_cast<double>(m.Seconds() + n) / 86400.0);
    }
    return Value();
}

// DateDiff(interval, date1, date2[, first day of week[, first week]]): the
// number of interval boundaries crossed from date1 to date2.
Value DateDiffFn(const Args& a) {
    const Part p = Interval(a[0]);
    const LONG first = FirstDay(a, 3);
    FirstWeek(a, 4);
    Moment x, y;
    const bool have = DateArg(a[1], &x);
    if (!DateArg(a[2], &y) || !have) return Null();
    auto months = [](const Moment& m) { return m.civil.year * 12 + m.civil.month - 1; };
    auto weekStart = [&](const Moment& m) { return m.day - (WeekdayOf(m.day, first) - 1); };
    switch (p) {
        case Part::Year:
            return Lng(y.civil.year - x.civil.year);
        case Part::Quarter:
            return Lng(months(y) / 3 - months(x) / 3);
        case Part::Month:
            return Lng(months(y) - months(x));
        case Part::DayOfYear:
        case Part::Day:
            return Lng(y.day - x.day);
        case Part::Weekday:
            return Lng((y.day - x.day) / 7);
        case Part::Week:
            return Lng((weekStart(y) - weekStart(x)) / 7);
        case Part::Hour:
            return Lng(FloorDiv(y.Seconds(), 3600) - FloorDiv(x.Seconds(), 3600));
        case Part::Minute:
            return Lng(FloorDiv(y.Seconds(), 60) - FloorDiv(x.Seconds(), 60));
        case Part::Second:
            return Lng(y.Seconds() - x.Seconds());
    }
    return Value();
}

// ---------------------------------------------------------------------------
// Names of months and days, date and time parts, date formats
// ---------------------------------------------------------------------------

constexpr std::u16string_view kMonthNames[] = {u"January",   u"February", u"March",    u"April",
                                               u"May",       u"June",     u"July",     u"August",
                                               u"September", u"October",  u"November", u"December"};
constexpr std::u16string_view kDayNames[] = {u"Sunday",   u"Monday", u"Tuesday", u"Wednesday",
                                             u"Thursday", u"Friday", u"Saturday"};

std::u16string_view Named(std::u16string_view name, bool abbreviate) {
    return abbreviate ? name.substr(0, 3) : name;
}

// MonthName(month[, abbreviate]).
Value MonthNameFn(const Args& a) {
    const LONG month = Long(a[0]);
    if (month < 1 || month > 12) FailNumber(kErrorInvalidProcedureCall);
    return Str(Named(kMonthNames[month - 1], OptionalFlag(a, 1)));
}
// WeekdayName(weekday[, abbreviate[, first day of week]]): weekday 1 is the
// first day of the week.
Value WeekdayNameFn(const Args& a) {
    const LONG day = Long(a[0]);
    const bool abbreviate = OptionalFlag(a, 1);
    const LONG first = FirstDay(a, 2);
    if (day < 1 || day > 7) FailNumber(kErrorInvalidProcedureCall);
    return Str(Named(kDayNames[(day - 1 + first - 1) % 7], abbreviate));
}

// DateValue and TimeValue: the date or the time of day of a date or a text.
template <bool DatePart>
Value DatePartValueFn(const Args& a) {
    const Value v = Scalar(a[0]);
    if (v.vt == VT_NULL) return v;
    Value d = As(v, VT_DATE);
    const double day = std::trunc(d.date);
    d.date = DatePart ? day : std::fabs(d.date - day);
    return d;
}

// FormatDateTime(date[, format]) in en-US: 0 the general date (as CStr), 1
// "Monday, January 1, 2024", 2 "1/1/2024", 3 "1:02:03 PM", 4 "13:02".
Value FormatDateTimeFn(const Args& a) {
    if (Scalar(a[0]).vt == VT_NULL) Fail(DISP_E_TYPEMISMATCH);
    const LONG format = Optional(a, 1, 0);
    if (format < 0 || format > 4) FailNumber(kErrorInvalidProcedureCall);
    Moment m;
    DateArg(a[0], &m);
    const DATE date = DateOfLinear(static_cast<double>(m.Seconds()) / 86400.0).date;
    char buf[64];
    if (format == 1) {
        std::snprintf(buf, sizeof buf, "%s, %s %u, %lld",
                      ToUtf8(kDayNames[WeekdayOf(m.day, 1) - 1]).c_str(),
                      ToUtf8(kMonthNames[m.civil.month - 1]).c_str(), m.civil.day,
                      static_cast<long long>(m.civil.year));
    } else if (format == 4) {
        std::snprintf(buf, sizeof buf, "%02lld:%02lld", static_cast<long long>(m.second / 3600),
                      static_cast<long long>(m.second / 60 % 60));
    } else {
        static constexpr ULONG kFlags[] = {0, 0, VAR_DATEVALUEONLY, VAR_TIMEVALUEONLY};
        std::u16string text;
        Check(convert::FormatDate(date, kFlags[format], &text));
        return Str(text);
    }
    return Str(std::u16string(buf, buf + std::strlen(buf)));
}

// ---------------------------------------------------------------------------
// More strings
// ---------------------------------------------------------------------------

Value StrReverseFn(const Args& a) {
    std::u16string s = Text(a[0]);
    std::reverse(s.begin(), s.end());
    return Str(s);
}

// AscW: the UTF-16 code unit, as an Integer; AscB: the text's first byte.
Value AscWFn(const Args& a) {
    const std::u16string s = Text(a[0]);
    if (s.empty()) FailNumber(kErrorInvalidProcedureCall);
    return Int(static_cast<SHORT>(s[0]));
}
Value AscBFn(const Args& a) {
    const Value s = As(a[0], VT_BSTR);
    if (SysStringByteLen(s.bstrVal) == 0) FailNumber(kErrorInvalidProcedureCall);
    return Int(static_cast<SHORT>(reinterpret_cast<const unsigned char*>(s.bstrVal)[0]));
}
// ChrW: a UTF-16 code unit (-32768 to 65535); ChrB: a text of one byte.
Value ChrWFn(const Args& a) {
    const LONG code = Long(a[0]);
    if (code < -32768 || code > 65535) FailNumber(kErrorInvalidProcedureCall);
    return Str(std::u16string(1, static_cast<char16_t>(code & 0xFFFF)));
}
Value ChrBFn(const Args& a) {
    const LONG code = Long(a[0]);
    if (code < 0 || code > 255) FailNumber(kErrorInvalidProcedureCall);
    const char byte = static_cast<char>(code);
    Value v;
    v.bstrVal = SysAllocStringByteLen(&byte, 1);
    if (!v.bstrVal) Fail(E_OUTOFMEMORY);
    v.vt = VT_BSTR;
    return v;
}

// Escape: letters, digits and @*_+-./ stay; other characters up to 255 are
// %XX, the rest %uXXXX. Unescape undoes it and keeps a % that starts neither.
bool KeptByEscape(char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
           std::u16string_view(u"@*_+-./").find(c) != std::u16string_view::npos;
}
Value EscapeFn(const Args& a) {
    std::u16string s;
    if (!TextOrNull(a[0], &s)) return Null();
    // The length first: a long text must not grow past a BSTR's limit.
    int64_t length = 0;
    for (const char16_t c : s) length += KeptByEscape(c) ? 1 : c < 256 ? 3 : 6;
    if (length > kMaxChars) Fail(E_OUTOFMEMORY);
    std::u16string out;
    out.reserve(static_cast<size_t>(length));
    for (const char16_t c : s) {
        char buf[8];
        if (KeptByEscape(c)) {
            out += c;
            continue;
        }
        std::snprintf(buf, sizeof buf, c < 256 ? "%%%02X" : "%%u%04X", static_cast<unsigned>(c));
        out.append(buf, buf + std::strlen(buf));
    }
    return Str(out);
}
Value UnescapeFn(const Args& a) {
    std::u16string s;
    if (!TextOrNull(a[0], &s)) return Null();
    auto hex = [&](size_t at, size_t digits, char16_t* out) {
        if (at + digits > s.size()) return false;
        unsigned v = 0;
        for (size_t i = at; i < at + digits; ++i) {
            const char16_t c = s[i];
            const int d = c >= u'0' && c <= u'9'   ? c - u'0'
                          : c >= u'a' && c <= u'f' ? c - u'a' + 10
                          : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                                   : -1;
            if (d < 0) return false;
            v = v * 16 + static_cast<unsigned>(d);
        }
        *out = static_cast<char16_t>(v);
        return true;
    };
    std::u16string out;
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        if (c == u'%' && i + 1 < s.size() && s[i + 1] == u'u' && hex(i + 2, 4, &c)) {
            i += 5;
        } else if (c == u'%' && hex(i + 1, 2, &c)) {
            i += 2;
        }
        out += c;
    }
    return Str(out);
}

// Filter(texts, match[, include[, compare]]): the texts of a one-dimensional
// array that hold `match` (or, include False, that do not).
Value FilterFn(const Args& a) {
    const VARIANT& list = a[0];
    if (list.vt == VT_NULL) FailNumber(kErrorInvalidUseOfNull);
    if (!(list.vt & VT_ARRAY) || !list.parray || SafeArrayGetDim(list.parray) != 1)
        Fail(DISP_E_TYPEMISMATCH);
    const VARTYPE vt = list.vt & VT_TYPEMASK;
    if (vt == VT_DECIMAL || vt == VT_RECORD) Fail(DISP_E_TYPEMISMATCH);
    const std::u16string match = Text(a[1]);
    const bool include = !Given(a, 2) || OptionalFlag(a, 2);
    const bool folded = TextCompare(a, 3);
    std::vector<std::u16string> kept;
    ForEachElement(list, vt, [&](bool, const Value& e) {
        std::u16string text;
        if (!TextOrNull(e, &text)) FailNumber(kErrorInvalidUseOfNull);
        if ((Find(text, match, 0, folded) != std::u16string::npos) == include)
            kept.push_back(std::move(text));
    });
    return TextArray(kept);
}

// ---------------------------------------------------------------------------
// Colours, random numbers, the engine, the locale and the clock
// ---------------------------------------------------------------------------

// RGB(red, green, blue): each part above 255 counts as 255.
Value RgbFn(const Args& a) {
    LONG rgb = 0;
    for (UINT i = 0; i < 3; ++i) {
        const LONG part = Long(a[i]);
        if (part < 0) FailNumber(kErrorInvalidProcedureCall);
        rgb |= std::min<LONG>(part, 255) << (8 * i);
    }
    return Lng(rgb);
}

// Rnd: a 24-bit linear congruential generator whose state is the engine's.
Value Sgl(float f) {
    Value v;
    v.vt = VT_R4, v.fltVal = f;
    return v;
}
float Fraction(uint32_t seed) {
    return static_cast<float>(seed) / 16777216.0f;
}
// Rnd([n]): n < 0 starts the sequence that n names, 0 repeats the last
// number, anything else (or none) gives the next.
Value RndFn(const Args& a) {
    uint32_t& seed = a.state->seed;
    const float n = Given(a, 0) ? static_cast<float>(Double(a[0])) : 1.0f;
    if (n == 0) return Sgl(Fraction(seed));
    if (n < 0) {
        uint32_t bits = 0;
        std::memcpy(&bits, &n, sizeof bits);
        seed = (bits + (bits >> 24)) & 0xFFFFFFu;
    }
    seed = (seed * 0x43FD43FDu + 0xC39EC3u) & 0xFFFFFFu;
    return Sgl(Fraction(seed));
}
// Randomize [n]: n (or, without it, the clock) sets the middle 16 bits of
// the generator's state and keeps the rest, so Rnd(-1) then Randomize n
// repeats a sequence.
Value RandomizeFn(const Args& a) {
    double n = 0;
    if (Given(a, 0)) {
        n = Double(a[0]);
    } else {
        SYSTEMTIME st{};
        GetLocalTime(&st);
        n = st.wHour * 3600.0 + st.wMinute * 60.0 + st.wSecond + st.wMilliseconds / 1000.0;
    }
    uint64_t bits = 0;
    std::memcpy(&bits, &n, sizeof bits);
    const auto high = static_cast<uint32_t>(bits >> 32);
    const uint32_t middle = ((high >> 16) ^ high) & 0xFFFFu;
    a.state->seed = (a.state->seed & 0xFF0000FFu) | (middle << 8);
    return Value();
}

// The engine names itself and its version with fixed values.
Value ScriptEngineFn(const Args&) {
    return Str(u"VBScript");
}
template <LONG N>
Value VersionFn(const Args&) {
    return Lng(N);
}

// The only locale is en-US (1033): SetLocale to it (by number or "en-us",
// 0 for the default) answers it; any other is error 5.
constexpr LONG kEnUs = 1033;
Value GetLocaleFn(const Args&) {
    return Lng(kEnUs);
}
Value SetLocaleFn(const Args& a) {
    if (Given(a, 0)) {
        const Value v = Scalar(a[0]);
        const bool ok =
            v.vt == VT_BSTR ? Fold(TextOf(v)) == u"en-us" : Long(v) == kEnUs || Long(v) == 0;
        if (!ok) FailNumber(kErrorInvalidProcedureCall);
    }
    return Lng(kEnUs);
}

// Timer: the seconds since local midnight, to the millisecond, as Now reads
// the clock.
Value TimerFn(const Args&) {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    return Sgl(static_cast<float>(st.wHour * 3600 + st.wMinute * 60 + st.wSecond) +
               static_cast<float>(st.wMilliseconds) / 1000.0f);
}

// ---------------------------------------------------------------------------
// Constants
// ---------------------------------------------------------------------------

template <char16_t... C>
Value TextConstant(const Args&) {
    const char16_t text[] = {C...};
    return Str(std::u16string_view(text, sizeof...(C)));
}
Value EmptyText(const Args&) {
    return Str(u"");
}
// An Integer constant, or a Long one when it does not fit.
template <LONG N>
Value IntConstant(const Args&) {
    return N >= -32768 && N <= 32767 ? Int(static_cast<SHORT>(N)) : Lng(N);
}
template <LONG N>
Value LongConstant(const Args&) {
    return Lng(N);
}

constexpr UINT kAny = ~0u;
constexpr Builtin kBuiltins[] = {
    {u"createobject", 1, 1, Call<CreateObjectFn>},
    {u"isempty", 1, 1, Call<IsEmptyFn>},
    {u"isnull", 1, 1, Call<IsNullFn>},
    {u"isobject", 1, 1, Call<IsObjectFn>},
    {u"isarray", 1, 1, Call<IsArrayFn>},
    {u"isnumeric", 1, 1, Call<IsNumericFn>},
    {u"isdate", 1, 1, Call<IsDateFn>},
    {u"typename", 1, 1, Call<TypeNameFn>},
    {u"vartype", 1, 1, Call<VarTypeFn>},
    {u"cbool", 1, 1, Call<Convert<VT_BOOL>>},
    {u"cbyte", 1, 1, Call<Convert<VT_UI1>>},
    {u"ccur", 1, 1, Call<Convert<VT_CY>>},
    {u"cdate", 1, 1, Call<CDateFn>},
    {u"cdbl", 1, 1, Call<Convert<VT_R8>>},
    {u"cint", 1, 1, Call<Convert<VT_I2>>},
    {u"clng", 1, 1, Call<Convert<VT_I4>>},
    {u"csng", 1, 1, Call<Convert<VT_R4>>},
    {u"cstr", 1, 1, Call<Convert<VT_BSTR>>},
    {u"abs", 1, 1, Call<AbsFn>},
    {u"atn", 1, 1, Call<Real<std::atan>>},
    {u"cos", 1, 1, Call<Real<std::cos>>},
    {u"exp", 1, 1, Call<Real<std::exp>>},
    {u"fix", 1, 1, Call<WholeFn<false>>},
    {u"int", 1, 1, Call<WholeFn<true>>},
    {u"log", 1, 1, Call<Real<LogChecked>>},
    {u"round", 1, 2, Call<RoundFn>},
    {u"sgn", 1, 1, Call<SgnFn>},
    {u"sin", 1, 1, Call<Real<std::sin>>},
    {u"sqr", 1, 1, Call<Real<SqrChecked>>},
    {u"tan", 1, 1, Call<Real<std::tan>>},
    {u"len", 1, 1, Call<LenFn>},
    {u"left", 2, 2, Call<LeftFn>},
    {u"mid", 2, 3, Call<MidFn>},
    {u"right", 2, 2, Call<RightFn>},
    {u"instr", 2, 4, Call<InStrFn>},
    {u"instrrev", 2, 4, Call<InStrRevFn>},
    {u"trim", 1, 1, Call<TrimFn<true, true>>},
    {u"ltrim", 1, 1, Call<TrimFn<true, false>>},
    {u"rtrim", 1, 1, Call<TrimFn<false, true>>},
    {u"ucase", 1, 1, Call<CaseFn<true>>},
    {u"lcase", 1, 1, Call<CaseFn<false>>},
    {u"replace", 3, 6, Call<ReplaceFn>},
    {u"strcomp", 2, 3, Call<StrCompFn>},
    {u"chr", 1, 1, Call<ChrFn>},
    {u"asc", 1, 1, Call<AscFn>},
    {u"space", 1, 1, Call<SpaceFn>},
    {u"string", 2, 2, Call<StringFn>},
    {u"hex", 1, 1, Call<RadixFn<false>>},
    {u"oct", 1, 1, Call<RadixFn<true>>},
    {u"formatnumber", 1, 5, Call<FormatNumberFn<NumberStyle::Plain>>},
    {u"formatcurrency", 1, 5, Call<FormatNumberFn<NumberStyle::Currency>>},
    {u"formatpercent", 1, 5, Call<FormatNumberFn<NumberStyle::Percent>>},
    {u"strreverse", 1, 1, Call<StrReverseFn>},
    {u"ascb", 1, 1, Call<AscBFn>},
    {u"ascw", 1, 1, Call<AscWFn>},
    {u"chrb", 1, 1, Call<ChrBFn>},
    {u"chrw", 1, 1, Call<ChrWFn>},
    {u"escape", 1, 1, Call<EscapeFn>},
    {u"unescape", 1, 1, Call<UnescapeFn>},
    {u"filter", 2, 4, Call<FilterFn>},
    {u"array", 0, kAny, Call<ArrayFn>},
    {u"lbound", 1, 2, Call<BoundFn<false>>},
    {u"ubound", 1, 2, Call<BoundFn<true>>},
    {u"split", 1, 4, Call<SplitFn>},
    {u"join", 1, 2, Call<JoinFn>},
    {u"now", 0, 0, Call<NowFn>},
    {u"date", 0, 0, Call<DateFn>},
    {u"time", 0, 0, Call<TimeFn>},
    {u"dateserial", 3, 3, Call<DateSerialFn>},
    {u"timeserial", 3, 3, Call<TimeSerialFn>},
    {u"dateadd", 3, 3, Call<DateAddFn>},
    {u"datediff", 3, 5, Call<DateDiffFn>},
    {u"datepart", 2, 4, Call<DatePartFn>},
    {u"year", 1, 1, Call<PartFn<Part::Year>>},
    {u"month", 1, 1, Call<PartFn<Part::Month>>},
    {u"day", 1, 1, Call<PartFn<Part::Day>>},
    {u"hour", 1, 1, Call<PartFn<Part::Hour>>},
    {u"minute", 1, 1, Call<PartFn<Part::Minute>>},
    {u"second", 1, 1, Call<PartFn<Part::Second>>},
    {u"weekday", 1, 2, Call<PartFn<Part::Weekday>>},
    {u"monthname", 1, 2, Call<MonthNameFn>},
    {u"weekdayname", 1, 3, Call<WeekdayNameFn>},
    {u"datevalue", 1, 1, Call<DatePartValueFn<true>>},
    {u"timevalue", 1, 1, Call<DatePartValueFn<false>>},
    {u"formatdatetime", 1, 2, Call<FormatDateTimeFn>},
    {u"timer", 0, 0, Call<TimerFn>},
    {u"rgb", 3, 3, Call<RgbFn>},
    {u"rnd", 0, 1, Call<RndFn>},
    {u"randomize", 0, 1, Call<RandomizeFn>},
    {u"scriptengine", 0, 0, Call<ScriptEngineFn>},
    {u"scriptenginemajorversion", 0, 0, Call<VersionFn<5>>},
    {u"scriptengineminorversion", 0, 0, Call<VersionFn<8>>},
    {u"scriptenginebuildversion", 0, 0, Call<VersionFn<16384>>},
    {u"getlocale", 0, 0, Call<GetLocaleFn>},
    {u"setlocale", 0, 1, Call<SetLocaleFn>},
    // Named constants.
    {u"vbcr", 0, 0, Call<TextConstant<u'\r'>>, true},
    {u"vblf", 0, 0, Call<TextConstant<u'\n'>>, true},
    {u"vbcrlf", 0, 0, Call<TextConstant<u'\r', u'\n'>>, true},
    {u"vbnewline", 0, 0, Call<TextConstant<u'\r', u'\n'>>, true},
    {u"vbtab", 0, 0, Call<TextConstant<u'\t'>>, true},
    {u"vbformfeed", 0, 0, Call<TextConstant<u'\f'>>, true},
    {u"vbverticaltab", 0, 0, Call<TextConstant<u'\v'>>, true},
    {u"vbnullchar", 0, 0, Call<TextConstant<u'\0'>>, true},
    {u"vbnullstring", 0, 0, Call<EmptyText>, true},
    {u"vbbinarycompare", 0, 0, Call<IntConstant<0>>, true},
    {u"vbtextcompare", 0, 0, Call<IntConstant<1>>, true},
    {u"vbdatabasecompare", 0, 0, Call<IntConstant<2>>, true},
    {u"vbusesystemdayofweek", 0, 0, Call<IntConstant<0>>, true},
    {u"vbsunday", 0, 0, Call<IntConstant<1>>, true},
    {u"vbmonday", 0, 0, Call<IntConstant<2>>, true},
    {u"vbtuesday", 0, 0, Call<IntConstant<3>>, true},
    {u"vbwednesday", 0, 0, Call<IntConstant<4>>, true},
    {u"vbthursday", 0, 0, Call<IntConstant<5>>, true},
    {u"vbfriday", 0, 0, Call<IntConstant<6>>, true},
    {u"vbsaturday", 0, 0, Call<IntConstant<7>>, true},
    {u"vbusesystem", 0, 0, Call<IntConstant<0>>, true},
    {u"vbfirstjan1", 0, 0, Call<IntConstant<1>>, true},
    {u"vbfirstfourdays", 0, 0, Call<IntConstant<2>>, true},
    {u"vbfirstfullweek", 0, 0, Call<IntConstant<3>>, true},
    {u"vbgeneraldate", 0, 0, Call<IntConstant<0>>, true},
    {u"vblongdate", 0, 0, Call<IntConstant<1>>, true},
    {u"vbshortdate", 0, 0, Call<IntConstant<2>>, true},
    {u"vblongtime", 0, 0, Call<IntConstant<3>>, true},
    {u"vbshorttime", 0, 0, Call<IntConstant<4>>, true},
    {u"vbempty", 0, 0, Call<IntConstant<VT_EMPTY>>, true},
    {u"vbnull", 0, 0, Call<IntConstant<VT_NULL>>, true},
    {u"vbinteger", 0, 0, Call<IntConstant<VT_I2>>, true},
    {u"vblong", 0, 0, Call<IntConstant<VT_I4>>, true},
    {u"vbsingle", 0, 0, Call<IntConstant<VT_R4>>, true},
    {u"vbdouble", 0, 0, Call<IntConstant<VT_R8>>, true},
    {u"vbcurrency", 0, 0, Call<IntConstant<VT_CY>>, true},
    {u"vbdate", 0, 0, Call<IntConstant<VT_DATE>>, true},
    {u"vbstring", 0, 0, Call<IntConstant<VT_BSTR>>, true},
    {u"vbobject", 0, 0, Call<IntConstant<VT_DISPATCH>>, true},
    {u"vberror", 0, 0, Call<IntConstant<VT_ERROR>>, true},
    {u"vbboolean", 0, 0, Call<IntConstant<VT_BOOL>>, true},
    {u"vbvariant", 0, 0, Call<IntConstant<VT_VARIANT>>, true},
    {u"vbdataobject", 0, 0, Call<IntConstant<VT_UNKNOWN>>, true},
    {u"vbdecimal", 0, 0, Call<IntConstant<VT_DECIMAL>>, true},
    {u"vbbyte", 0, 0, Call<IntConstant<VT_UI1>>, true},
    {u"vbarray", 0, 0, Call<IntConstant<VT_ARRAY>>, true},
    {u"vbtrue", 0, 0, Call<IntConstant<-1>>, true},
    {u"vbfalse", 0, 0, Call<IntConstant<0>>, true},
    {u"vbusedefault", 0, 0, Call<IntConstant<-2>>, true},
    {u"vbobjecterror", 0, 0, Call<LongConstant<-2147221504>>, true},
    {u"vbblack", 0, 0, Call<LongConstant<0x000000>>, true},
    {u"vbred", 0, 0, Call<LongConstant<0x0000FF>>, true},
    {u"vbgreen", 0, 0, Call<LongConstant<0x00FF00>>, true},
    {u"vbyellow", 0, 0, Call<LongConstant<0x00FFFF>>, true},
    {u"vbblue", 0, 0, Call<LongConstant<0xFF0000>>, true},
    {u"vbmagenta", 0, 0, Call<LongConstant<0xFF00FF>>, true},
    {u"vbcyan", 0, 0, Call<LongConstant<0xFFFF00>>, true},
    {u"vbwhite", 0, 0, Call<LongConstant<0xFFFFFF>>, true},
    {u"vbokonly", 0, 0, Call<IntConstant<0>>, true},
    {u"vbokcancel", 0, 0, Call<IntConstant<1>>, true},
    {u"vbabortretryignore", 0, 0, Call<IntConstant<2>>, true},
    {u"vbyesnocancel", 0, 0, Call<IntConstant<3>>, true},
    {u"vbyesno", 0, 0, Call<IntConstant<4>>, true},
    {u"vbretrycancel", 0, 0, Call<IntConstant<5>>, true},
    {u"vbcritical", 0, 0, Call<IntConstant<16>>, true},
    {u"vbquestion", 0, 0, Call<IntConstant<32>>, true},
    {u"vbexclamation", 0, 0, Call<IntConstant<48>>, true},
    {u"vbinformation", 0, 0, Call<IntConstant<64>>, true},
    {u"vbdefaultbutton1", 0, 0, Call<IntConstant<0>>, true},
    {u"vbdefaultbutton2", 0, 0, Call<IntConstant<256>>, true},
    {u"vbdefaultbutton3", 0, 0, Call<IntConstant<512>>, true},
    {u"vbdefaultbutton4", 0, 0, Call<IntConstant<768>>, true},
    {u"vbapplicationmodal", 0, 0, Call<IntConstant<0>>, true},
    {u"vbsystemmodal", 0, 0, Call<IntConstant<4096>>, true},
    {u"vbmsgboxhelpbutton", 0, 0, Call<LongConstant<16384>>, true},
    {u"vbmsgboxsetforeground", 0, 0, Call<LongConstant<65536>>, true},
    {u"vbmsgboxright", 0, 0, Call<LongConstant<524288>>, true},
    {u"vbmsgboxrtlreading", 0, 0, Call<LongConstant<1048576>>, true},
    {u"vbok", 0, 0, Call<IntConstant<1>>, true},
    {u"vbcancel", 0, 0, Call<IntConstant<2>>, true},
    {u"vbabort", 0, 0, Call<IntConstant<3>>, true},
    {u"vbretry", 0, 0, Call<IntConstant<4>>, true},
    {u"vbignore", 0, 0, Call<IntConstant<5>>, true},
    {u"vbyes", 0, 0, Call<IntConstant<6>>, true},
    {u"vbno", 0, 0, Call<IntConstant<7>>, true},
};

}  // namespace

const Builtin* FindBuiltin(const std::u16string& folded) {
    // Built once, read by every engine on every thread.
    static const std::unordered_map<std::u16string_view, const Builtin*> kIndex = [] {
        std::unordered_map<std::u16string_view, const Builtin*> index;
        for (const Builtin& b : kBuiltins) index.emplace(b.name, &b);
        return index;
    }();
    const auto it = kIndex.find(folded);
    return it == kIndex.end() ? nullptr : it->second;
}

}  // namespace mv::script
