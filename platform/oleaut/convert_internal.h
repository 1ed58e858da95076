// Shared pieces of the VARIANT coercion code: exact decimals, number and date
// text in the en-US rules every locale of this port follows.
#pragma once

#include <string>
#include <string_view>

#include "include/oleaut.h"

namespace mv::convert {

using Int128 = __int128;
using UInt128 = unsigned __int128;

// The dates a DATE may hold: 1/1/100 up to, not including, 1/1/10000.
constexpr DATE kFirstDate = -657434.0;
constexpr DATE kPastLastDate = 2958466.0;

// value = mantissa / 10^scale; mantissa carries the sign.
struct Exact {
    Int128 mantissa = 0;
    int scale = 0;
};

// A number read from text: `exact` when the digits fit an Exact, and always
// the nearest double.
struct ParsedNumber {
    bool exact = false;
    Exact value;
    double dbl = 0.0;
};

// Leading and trailing blanks, a sign before or after, parentheses for a
// negative, "$", thousands separators, a decimal point, an exponent, and
// "&H"/"&O" integers. DISP_E_TYPEMISMATCH when the text is no number,
// DISP_E_OVERFLOW when it is beyond the range of a double.
HRESULT ParseNumber(std::u16string_view text, ParsedNumber* out);

// At most `digits` significant digits, in the fixed form unless the value
// reaches 10^digits or the fixed form would need more than `digits` digits
// after the point; then the exponent form with a sign and at least two
// digits ("6.66666666666667E-02"). Ties in the decimal expansion round away
// from zero.
std::u16string FormatReal(double value, int digits);

std::u16string FormatCurrency(LONGLONG scaled);
std::u16string FormatExact(const Exact& value);

// Dates as M/D/YYYY h:mm:ss AM|PM.
HRESULT FormatDate(DATE value, ULONG flags, std::u16string* out);
HRESULT ParseDate(std::u16string_view text, ULONG flags, DATE* out);

// Rounds half to even; false for NaN or a value beyond 128 bits.
bool RoundToInt128(double value, Int128* out);
// Divides by 10^scale rounding half to even.
Int128 RoundExactToInt128(const Exact& value);
double ExactToDouble(const Exact& value);
// 10^n for 0 <= n <= 38.
Int128 Pow10(int n);
// Rescales to `scale` decimals, rounding half to even when digits go.
Exact Rescale(const Exact& value, int scale);

// A DECIMAL's value (its scale and sign checked: E_INVALIDARG when bad), and
// the DECIMAL nearest an exact value: digits beyond 28 decimals or 96 bits
// are rounded away, DISP_E_OVERFLOW when the integer part does not fit.
HRESULT DecimalToExact(const DECIMAL& d, Exact* out);
HRESULT ExactToDecimal(const Exact& value, DECIMAL* out);

// The value behind `src`: by-reference forms are followed and an object
// gives its default member (repeatedly, to a fixed depth). `out` holds
// nothing on entry and owns a by-value copy on success. A null reference or
// object, or a default member that fails, is DISP_E_TYPEMISMATCH.
HRESULT ResolveValue(const VARIANT& src, LCID lcid, VARIANT* out);
std::string Int128ToString(Int128 value);

bool IsBlank(char16_t c);

}  // namespace mv::convert
