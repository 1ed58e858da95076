// Shared pieces of the VARIANT coercion code: exact decimals, number and date
// text in the en-US rules every locale of this port follows.
#pragma once

#include <string>
#include <string_view>

#include "include/oleaut.h"

namespace mv::convert {

using Int128 = __int128;
using UInt128 = unsigned __int128;

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
std::string Int128ToString(Int128 value);

bool IsBlank(char16_t c);

}  // namespace mv::convert
