// Numbers to and from text in the en-US rules.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "oleaut/convert_internal.h"

namespace mv::convert {
namespace {

constexpr int kMaxExactDigits = 38;  // every 38-digit integer fits an Int128

std::u16string Widen(std::string_view s) {
    return std::u16string(s.begin(), s.end());
}

bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

HRESULT ParseRadix(std::u16string_view text, size_t* pos, int radix, uint64_t* value) {
    size_t i = *pos;
    uint64_t v = 0;
    bool any = false;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i];
        int d = -1;
        if (IsDigit(c))
            d = c - u'0';
        else if (c >= u'a' && c <= u'f')
            d = c - u'a' + 10;
        else if (c >= u'A' && c <= u'F')
            d = c - u'A' + 10;
        if (d < 0 || d >= radix) break;
        v = v * static_cast<uint64_t>(radix) + static_cast<uint64_t>(d);
        if (v > 0xFFFFFFFFull) return DISP_E_OVERFLOW;
        any = true;
    }
    if (!any) return DISP_E_TYPEMISMATCH;
    *pos = i;
    *value = v;
    return S_OK;
}

}  // namespace

Int128 Pow10(int n) {
    Int128 r = 1;
    for (int i = 0; i < n; ++i) r *= 10;
    return r;
}

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == 0x00A0 || c == 0x3000;
}

std::string Int128ToString(Int128 value) {
    const bool neg = value < 0;
    UInt128 u = neg ? UInt128(0) - static_cast<UInt128>(value) : static_cast<UInt128>(value);
    std::string s;
    do {
        s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(u % 10)));
        u /= 10;
    } while (u != 0);
    if (neg) s.insert(s.begin(), '-');
    return s;
}

bool RoundToInt128(double value, Int128* out) {
    if (!std::isfinite(value) || std::fabs(value) >= 1.7e38) return false;
    double f = std::floor(value);
    const double diff = value - f;
    if (diff > 0.5 || (diff == 0.5 && std::fmod(f, 2.0) != 0.0)) f += 1.0;
    *out = static_cast<Int128>(f);
    return true;
}

Int128 RoundExactToInt128(const Exact& value) {
    if (value.scale <= 0) return value.mantissa;
    if (value.scale > kMaxExactDigits) return 0;  // |value| < 0.2
    const Int128 p = Pow10(value.scale);
    Int128 q = value.mantissa / p;
    const Int128 r = value.mantissa % p;
    const UInt128 twice =
        2 * (r < 0 ? UInt128(0) - static_cast<UInt128>(r) : static_cast<UInt128>(r));
    const Int128 step = value.mantissa < 0 ? -1 : 1;
    if (twice > static_cast<UInt128>(p) || (twice == static_cast<UInt128>(p) && (q % 2) != 0))
        q += step;
    return q;
}

double ExactToDouble(const Exact& value) {
    if (value.scale == 0) return static_cast<double>(value.mantissa);
    const std::string text = Int128ToString(value.mantissa) + "e-" + std::to_string(value.scale);
    double d = 0.0;
    std::from_chars(text.data(), text.data() + text.size(), d);
    return d;
}

HRESULT ParseNumber(std::u16string_view text, ParsedNumber* out) {
    size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    if (begin == end) return DISP_E_TYPEMISMATCH;
    const std::u16string_view s = text.substr(begin, end - begin);

    size_t i = 0;
    bool neg = false, sign = false, currency = false, paren = false;
    for (; i < s.size(); ++i) {
        const char16_t c = s[i];
        if ((c == u'+' || c == u'-') && !sign && !paren) {
            sign = true;
            neg = c == u'-';
        } else if (c == u'$' && !currency) {
            currency = true;
        } else if (c == u'(' && !paren && !sign) {
            paren = true;
        } else if (!(IsBlank(c) && (currency || sign || paren))) {
            break;
        }
    }

    const auto finish_trailer = [&](size_t pos) -> HRESULT {
        if (pos < s.size() && (s[pos] == u'+' || s[pos] == u'-') && !sign && !paren) {
            neg = s[pos] == u'-';
            ++pos;
        }
        if (paren) {
            if (pos >= s.size() || s[pos] != u')') return DISP_E_TYPEMISMATCH;
            neg = true;
            ++pos;
        }
        return pos == s.size() ? S_OK : DISP_E_TYPEMISMATCH;
    };

    if (i + 1 < s.size() && s[i] == u'&') {
        const char16_t kind = s[i + 1];
        const int radix = (kind == u'H' || kind == u'h')   ? 16
                          : (kind == u'O' || kind == u'o') ? 8
                                                           : 0;
        if (radix == 0) return DISP_E_TYPEMISMATCH;
        size_t pos = i + 2;
        uint64_t bits = 0;
        HRESULT hr = ParseRadix(s, &pos, radix, &bits);
        if (FAILED(hr)) return hr;
        hr = finish_trailer(pos);
        if (FAILED(hr)) return hr;
        // "&H" values are 32-bit patterns: &H80000000 reads as -2147483648.
        Int128 v = static_cast<int32_t>(static_cast<uint32_t>(bits));
        if (neg) v = -v;
        out->exact = true;
        out->value = {v, 0};
        out->dbl = static_cast<double>(v);
        return S_OK;
    }

    std::string digits;
    long long exp10 = 0;
    bool any_digit = false, point = false;
    for (; i < s.size(); ++i) {
        const char16_t c = s[i];
        if (IsDigit(c)) {
            if (!(digits.empty() && c == u'0')) digits += static_cast<char>(c);
            if (point) --exp10;
            any_digit = true;
        } else if (c == u',' && !point && any_digit) {
            continue;
        } else if (c == u'.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (!any_digit) return DISP_E_TYPEMISMATCH;
    if (i < s.size() && (s[i] == u'e' || s[i] == u'E')) {
        size_t j = i + 1;
        bool eneg = false;
        if (j < s.size() && (s[j] == u'+' || s[j] == u'-')) eneg = s[j++] == u'-';
        if (j >= s.size() || !IsDigit(s[j])) return DISP_E_TYPEMISMATCH;
        long long e = 0;
        for (; j < s.size() && IsDigit(s[j]); ++j)
            e = std::min(e * 10 + (s[j] - u'0'), 100000000LL);
        exp10 += eneg ? -e : e;
        i = j;
    }
    const HRESULT hr = finish_trailer(i);
    if (FAILED(hr)) return hr;

    while (!digits.empty() && digits.back() == '0') {
        digits.pop_back();
        ++exp10;
    }
    ParsedNumber r;
    if (digits.empty()) {
        r.exact = true;
        *out = r;
        return S_OK;
    }
    const long long magnitude =
        static_cast<long long>(digits.size()) + exp10;  // digits before the point
    if (magnitude > 309) return DISP_E_OVERFLOW;
    if (magnitude < -330) {
        *out = r;  // far below the smallest double: zero
        return S_OK;
    }
    const std::string sci = digits + "e" + std::to_string(exp10);
    double d = 0.0;
    const auto res = std::from_chars(sci.data(), sci.data() + sci.size(), d);
    if (res.ec == std::errc::result_out_of_range) {
        if (magnitude > 0) return DISP_E_OVERFLOW;
        d = 0.0;
    }
    r.dbl = neg ? -d : d;
    if (magnitude <= kMaxExactDigits && static_cast<long long>(digits.size()) <= kMaxExactDigits &&
        exp10 >= -kMaxExactDigits) {
        Int128 m = 0;
        for (char c : digits) m = m * 10 + (c - '0');
        int scale = static_cast<int>(-exp10);
        if (scale < 0) {
            m *= Pow10(-scale);
            scale = 0;
        }
        r.exact = true;
        r.value = {neg ? -m : m, scale};
    }
    *out = r;
    return S_OK;
}

std::u16string FormatReal(double value, int digits) {
    if (std::isnan(value)) return std::signbit(value) ? u"-1.#IND" : u"1.#QNAN";
    if (std::isinf(value)) return value > 0 ? u"1.#INF" : u"-1.#INF";
    if (value == 0.0) return u"0";

    // Twenty digits beyond the wanted ones show whether the rest is a tie.
    char buf[96];
    const auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(value),
                                   std::chars_format::scientific, digits + 20);
    const std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
    const size_t epos = sci.find('e');
    std::string mant;
    for (char c : sci.substr(0, epos))
        if (c != '.') mant += c;
    int exp10 = std::atoi(std::string(sci.substr(epos + 1)).c_str());

    std::string kept = mant.substr(0, static_cast<size_t>(digits));
    if (mant[static_cast<size_t>(digits)] >= '5') {
        int k = digits - 1;
        while (k >= 0 && kept[static_cast<size_t>(k)] == '9') kept[static_cast<size_t>(k--)] = '0';
        if (k >= 0) {
            ++kept[static_cast<size_t>(k)];
        } else {
            kept.insert(kept.begin(), '1');
            kept.pop_back();
            ++exp10;
        }
    }
    while (kept.size() > 1 && kept.back() == '0') kept.pop_back();

    std::string out = value < 0 ? "-" : "";
    // Digits the fixed form needs after the point for a value below one.
    const long long fraction_digits =
        exp10 < 0 ? -exp10 - 1 + static_cast<long long>(kept.size()) : 0;
    if (exp10 >= digits || fraction_digits > digits) {
        out += kept[0];
        if (kept.size() > 1) out += "." + kept.substr(1);
        char e[16];
        std::snprintf(e, sizeof e, "E%c%02d", exp10 < 0 ? '-' : '+', std::abs(exp10));
        out += e;
    } else if (exp10 >= 0) {
        const size_t int_len = static_cast<size_t>(exp10) + 1;
        if (kept.size() <= int_len) {
            out += kept + std::string(int_len - kept.size(), '0');
        } else {
            out += kept.substr(0, int_len) + "." + kept.substr(int_len);
        }
    } else {
        out += "0." + std::string(static_cast<size_t>(-exp10 - 1), '0') + kept;
    }
    return Widen(out);
}

std::u16string FormatExact(const Exact& value) {
    const bool neg = value.mantissa < 0;
    std::string digits = Int128ToString(neg ? -value.mantissa : value.mantissa);
    if (value.scale > 0) {
        const size_t scale = static_cast<size_t>(value.scale);
        if (digits.size() <= scale) digits.insert(0, scale + 1 - digits.size(), '0');
        digits.insert(digits.size() - scale, ".");
        while (digits.back() == '0') digits.pop_back();
        if (digits.back() == '.') digits.pop_back();
    }
    if (neg && digits != "0") digits.insert(digits.begin(), '-');
    return Widen(digits);
}

std::u16string FormatCurrency(LONGLONG scaled) {
    return FormatExact({scaled, 4});
}

}  // namespace mv::convert
