// Typed values of the datatypes namespace.
#include "xml_types.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "oleaut/civil_date.h"

namespace mv::xmltypes {
namespace {

enum class Kind { String, Number, I1, I2, I4, UI1, UI2, UI4, R4, R8, Boolean, DateTime, Date };

struct TypeEntry {
    const char16_t* name;
    Kind kind;
};

constexpr TypeEntry kTypes[] = {
    {u"string", Kind::String},   {u"char", Kind::String},
    {u"number", Kind::Number},   {u"i1", Kind::I1},
    {u"i2", Kind::I2},           {u"i4", Kind::I4},
    {u"ui1", Kind::UI1},         {u"ui2", Kind::UI2},
    {u"ui4", Kind::UI4},         {u"r4", Kind::R4},
    {u"r8", Kind::R8},           {u"float", Kind::R8},
    {u"boolean", Kind::Boolean}, {u"dateTime", Kind::DateTime},
    {u"date", Kind::Date},
};

bool FindKind(std::u16string_view type, Kind* kind) {
    for (const TypeEntry& t : kTypes) {
        if (type == t.name) {
            *kind = t.kind;
            return true;
        }
    }
    return false;
}

bool IsXmlBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

// The trimmed text as ASCII; false when it holds anything else.
bool TrimmedAscii(std::u16string_view text, std::string* out) {
    while (!text.empty() && IsXmlBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsXmlBlank(text.back())) text.remove_suffix(1);
    out->clear();
    for (char16_t c : text) {
        if (c > 0x7F) return false;
        *out += static_cast<char>(c);
    }
    return true;
}

bool ParseInteger(const std::string& s, int64_t min, int64_t max, int64_t* out) {
    if (s.empty()) return false;
    size_t start = s[0] == '+' ? 1 : 0;
    if (start == s.size()) return false;
    int64_t v = 0;
    const auto r = std::from_chars(s.data() + start, s.data() + s.size(), v);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size() || v < min || v > max) return false;
    *out = v;
    return true;
}

// [sign] digits [. digits] [e [sign] digits], at least one digit before the
// exponent; or INF, -INF, NaN.
bool ParseReal(const std::string& s, double* out) {
    if (s == "INF") return *out = std::numeric_limits<double>::infinity(), true;
    if (s == "-INF") return *out = -std::numeric_limits<double>::infinity(), true;
    if (s == "NaN") return *out = std::numeric_limits<double>::quiet_NaN(), true;
    size_t i = 0, digits = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        size_t expDigits = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++expDigits;
        if (expDigits == 0) return false;
    }
    if (i != s.size()) return false;
    const size_t start = s[0] == '+' ? 1 : 0;
    const auto r = std::from_chars(s.data() + start, s.data() + s.size(), *out);
    return r.ec == std::errc() && std::isfinite(*out);
}

std::u16string Ascii16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

std::string RealText(double v, bool single) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "INF" : "-INF";
    char buffer[64];
    const auto r = single ? std::to_chars(buffer, buffer + sizeof buffer, static_cast<float>(v))
                          : std::to_chars(buffer, buffer + sizeof buffer, v);
    std::string s(buffer, r.ptr);
    for (char& c : s) {
        if (c == 'e') c = 'E';
    }
    return s;
}

constexpr int64_t kMsPerDay = 86400000;

DATE DateFromParts(int y, unsigned mo, unsigned d, int64_t msOfDay) {
    const int64_t days = civil::DaysFromCivil(y, mo, d) - civil::kDateEpochDay;
    return civil::DateFromDay(static_cast<double>(days), static_cast<double>(msOfDay) / kMsPerDay);
}

bool PartsFromDate(DATE date, int* y, unsigned* mo, unsigned* d, int64_t* msOfDay) {
    if (!std::isfinite(date) || date < civil::kFirstDateDay || date >= civil::kLastDateDay + 1) {
        return false;
    }
    const double whole = std::trunc(date);
    int64_t days = static_cast<int64_t>(whole);
    int64_t ms = std::llround(std::fabs(date - whole) * kMsPerDay);
    // Rounded up to the next midnight: the next day, also before 1899-12-30,
    // where the fraction counts forward from the start of the day as well.
    if (ms >= kMsPerDay) {
        ms -= kMsPerDay;
        if (++days > civil::kLastDateDay) return false;
    }
    const civil::Civil c = civil::CivilFromDays(days + civil::kDateEpochDay);
    *y = static_cast<int>(c.year);
    *mo = c.month;
    *d = c.day;
    *msOfDay = ms;
    return true;
}

bool Digits(const std::string& s, size_t pos, size_t count, int* out) {
    if (pos + count > s.size()) return false;
    int v = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    *out = v;
    return true;
}

// YYYY-MM-DD, then for dateTime optionally THH:MM[:SS[.fraction]].
bool ParseDate(const std::string& s, bool withTime, DATE* out) {
    int y, mo, d, h = 0, mi = 0, sec = 0;
    int64_t ms = 0;
    if (!Digits(s, 0, 4, &y) || s.size() < 10 || s[4] != '-' || !Digits(s, 5, 2, &mo) ||
        s[7] != '-' || !Digits(s, 8, 2, &d)) {
        return false;
    }
    size_t i = 10;
    if (withTime && i < s.size()) {
        if (s[i] != 'T' || !Digits(s, i + 1, 2, &h) || i + 3 >= s.size() || s[i + 3] != ':' ||
            !Digits(s, i + 4, 2, &mi)) {
            return false;
        }
        i += 6;
        if (i < s.size() && s[i] == ':') {
            if (!Digits(s, i + 1, 2, &sec)) return false;
            i += 3;
            if (i < s.size() && s[i] == '.') {
                ++i;
                size_t fractionDigits = 0;
                int64_t scale = 100;
                while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
                    if (fractionDigits < 3) ms += (s[i] - '0') * scale, scale /= 10;
                    ++i, ++fractionDigits;
                }
                if (fractionDigits == 0 || fractionDigits > 9) return false;
            }
        }
    }
    if (i != s.size()) return false;
    if (y < 100 || mo < 1 || mo > 12 || d < 1 ||
        d > static_cast<int>(civil::DaysInMonth(y, static_cast<unsigned>(mo))) || h > 23 ||
        mi > 59 || sec > 59) {
        return false;
    }
    *out = DateFromParts(y, static_cast<unsigned>(mo), static_cast<unsigned>(d),
                         ((h * 60 + mi) * 60 + sec) * int64_t{1000} + ms);
    return true;
}

std::string DateText(DATE date, bool withTime, bool* ok) {
    int y;
    unsigned mo, d;
    int64_t ms;
    *ok = PartsFromDate(date, &y, &mo, &d, &ms);
    if (!*ok) return {};
    char buffer[48];
    if (!withTime) {
        std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u", y, mo, d);
        return buffer;
    }
    const int64_t seconds = ms / 1000;
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d", y, mo, d,
                  static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                  static_cast<int>(seconds % 60));
    std::string text = buffer;
    if (ms % 1000) {
        std::snprintf(buffer, sizeof buffer, ".%03d", static_cast<int>(ms % 1000));
        text += buffer;
    }
    return text;
}

VARTYPE VarTypeOf(Kind kind) {
    switch (kind) {
        case Kind::String:
        case Kind::Number:
            return VT_BSTR;
        case Kind::I1:
            return VT_I1;
        case Kind::I2:
            return VT_I2;
        case Kind::I4:
            return VT_I4;
        case Kind::UI1:
            return VT_UI1;
        case Kind::UI2:
            return VT_UI2;
        case Kind::UI4:
            return VT_UI4;
        case Kind::R4:
            return VT_R4;
        case Kind::R8:
            return VT_R8;
        case Kind::Boolean:
            return VT_BOOL;
        case Kind::DateTime:
        case Kind::Date:
            return VT_DATE;
    }
    return VT_BSTR;
}

HRESULT SetBstr(VARIANT* out, std::u16string_view text) {
    BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!b) return E_OUTOFMEMORY;
    VariantInit(out);
    out->vt = VT_BSTR;
    out->bstrVal = b;
    return S_OK;
}

}  // namespace

bool IsKnownDataType(std::u16string_view type) {
    Kind kind;
    return FindKind(type, &kind);
}

HRESULT TextToValue(std::u16string_view type, std::u16string_view text, VARIANT* out) {
    Kind kind;
    if (!FindKind(type, &kind)) return E_FAIL;
    if (kind == Kind::String) return SetBstr(out, text);
    std::string s;
    if (!TrimmedAscii(text, &s)) return E_FAIL;
    int64_t i = 0;
    double r = 0;
    VARIANT v;
    VariantInit(&v);
    switch (kind) {
        case Kind::String:
            break;
        case Kind::Number:
            if (!ParseReal(s, &r) || !std::isfinite(r)) return E_FAIL;
            return SetBstr(out, Ascii16(s));
        case Kind::I1:
            if (!ParseInteger(s, INT8_MIN, INT8_MAX, &i)) return E_FAIL;
            v.cVal = static_cast<CHAR>(i);
            break;
        case Kind::I2:
            if (!ParseInteger(s, INT16_MIN, INT16_MAX, &i)) return E_FAIL;
            v.iVal = static_cast<SHORT>(i);
            break;
        case Kind::I4:
            if (!ParseInteger(s, INT32_MIN, INT32_MAX, &i)) return E_FAIL;
            v.lVal = static_cast<LONG>(i);
            break;
        case Kind::UI1:
            if (!ParseInteger(s, 0, UINT8_MAX, &i)) return E_FAIL;
            v.bVal = static_cast<BYTE>(i);
            break;
        case Kind::UI2:
            if (!ParseInteger(s, 0, UINT16_MAX, &i)) return E_FAIL;
            v.uiVal = static_cast<USHORT>(i);
            break;
        case Kind::UI4:
            if (!ParseInteger(s, 0, UINT32_MAX, &i)) return E_FAIL;
            v.ulVal = static_cast<ULONG>(i);
            break;
        case Kind::R4:
            if (!ParseReal(s, &r)) return E_FAIL;
            if (std::isfinite(r) && std::fabs(r) > std::numeric_limits<float>::max()) return E_FAIL;
            v.fltVal = static_cast<float>(r);
            break;
        case Kind::R8:
            if (!ParseReal(s, &r)) return E_FAIL;
            v.dblVal = r;
            break;
        case Kind::Boolean:
            if (s != "0" && s != "1") return E_FAIL;
            v.boolVal = s == "1" ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        case Kind::DateTime:
        case Kind::Date:
            if (!ParseDate(s, kind == Kind::DateTime, &v.date)) return E_FAIL;
            break;
    }
    v.vt = VarTypeOf(kind);
    *out = v;
    return S_OK;
}

HRESULT ValueToText(std::u16string_view type, const VARIANT& value, std::u16string* out) {
    Kind kind;
    if (!FindKind(type, &kind)) return E_FAIL;
    const VARIANT* src = &value;
    while (src->vt == (VT_BYREF | VT_VARIANT) && src->pvarVal) src = src->pvarVal;

    // A string is read as the type's own text, so that "1" sets a boolean
    // and "2024-01-02T03:04:05" a date whatever the locale.
    if (src->vt == VT_BSTR) {
        const std::u16string_view text(src->bstrVal ? src->bstrVal : u"",
                                       SysStringLen(src->bstrVal));
        if (kind == Kind::String) return *out = std::u16string(text), S_OK;
        if (kind == Kind::Number) {  // kept as written, once it reads as a number
            std::string ascii;
            double number = 0;
            if (!TrimmedAscii(text, &ascii) || !ParseReal(ascii, &number)) return E_FAIL;
            return *out = Ascii16(ascii), S_OK;
        }
        VARIANT parsed;
        const HRESULT hr = TextToValue(type, text, &parsed);
        if (FAILED(hr)) return hr;
        const HRESULT written = ValueToText(type, parsed, out);
        VariantClear(&parsed);
        return written;
    }
    if (kind == Kind::String) return PlainText(*src, out);

    mv::Variant coerced;
    const VARTYPE target = kind == Kind::Number ? static_cast<VARTYPE>(VT_R8) : VarTypeOf(kind);
    if (src->vt == target) {
        coerced = mv::Variant(static_cast<const VARIANT&>(*src));
    } else {
        const HRESULT hr = VariantChangeTypeEx(&coerced, src, LCID_EN_US, 0, target);
        if (FAILED(hr)) return hr;
    }
    std::string text;
    bool ok = true;
    switch (kind) {
        case Kind::String:
            break;
        case Kind::Number:
            if (!std::isfinite(coerced.dblVal)) return E_FAIL;
            text = RealText(coerced.dblVal, false);
            break;
        case Kind::I1:
            text = std::to_string(static_cast<int>(coerced.cVal));
            break;
        case Kind::I2:
            text = std::to_string(coerced.iVal);
            break;
        case Kind::I4:
            text = std::to_string(coerced.lVal);
            break;
        case Kind::UI1:
            text = std::to_string(coerced.bVal);
            break;
        case Kind::UI2:
            text = std::to_string(coerced.uiVal);
            break;
        case Kind::UI4:
            text = std::to_string(coerced.ulVal);
            break;
        case Kind::R4:
            text = RealText(coerced.fltVal, true);
            break;
        case Kind::R8:
            text = RealText(coerced.dblVal, false);
            break;
        case Kind::Boolean:
            // Assigned as a character: GCC 12 warns of an overlapping copy
            // when a string literal is assigned here.
            text.assign(1, coerced.boolVal ? '1' : '0');
            break;
        case Kind::DateTime:
        case Kind::Date:
            text = DateText(coerced.date, kind == Kind::DateTime, &ok);
            break;
    }
    if (!ok) return E_FAIL;
    *out = Ascii16(text);
    return S_OK;
}

HRESULT PlainText(const VARIANT& value, std::u16string* out) {
    const VARIANT* src = &value;
    while (src->vt == (VT_BYREF | VT_VARIANT) && src->pvarVal) src = src->pvarVal;
    switch (src->vt) {
        case VT_BSTR:
            *out = std::u16string(src->bstrVal ? src->bstrVal : u"", SysStringLen(src->bstrVal));
            return S_OK;
        case VT_BOOL:
            *out = src->boolVal ? u"-1" : u"0";
            return S_OK;
        case VT_EMPTY:
        case VT_NULL:
            out->clear();
            return S_OK;
        default:
            break;
    }
    mv::Variant text;
    const HRESULT hr = VariantChangeTypeEx(&text, src, LCID_EN_US, 0, VT_BSTR);
    if (FAILED(hr)) return hr;
    *out = std::u16string(text.bstrVal ? text.bstrVal : u"", SysStringLen(text.bstrVal));
    return S_OK;
}

}  // namespace mv::xmltypes
