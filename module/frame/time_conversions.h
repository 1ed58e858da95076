// Conversions between OLE automation dates and historian times.
//
// An OLE date counts days from 1899-12-30 (25569.0 is 1970-01-01 00:00); a
// historian time is the client library's 8-byte time, both words all ones
// meaning "no time". Two forms exist:
//   - the microsecond form, through keldrin_api's XUST2XTS/XTS2XUST: whole
//     microseconds since 1970 with unsigned seconds, so it covers 1970-01-01
//     00:00 to 2106-02-07 06:28:15 on the same time scale as the date (no
//     time-zone shift);
//   - the tenths form, through the display-date calls DSPDT2XTS/XTS2DSPDT: a
//     day number (days since 1899-12-31) and tenths of a second of the day.
// `mode` chooses the library of the tenths form: 1 goes through the older
// client library's guarded calls, any other value straight to keldrin_api.
// Nothing here takes a lock or reports an error: a failing client call leaves
// the output as described at each function.
#pragma once

#include "keldrin_api.h"
#include "oleaut.h"

// The "no time" historian time.
inline constexpr KeldrinTime kNoKeldrinTime = {KELDRIN_TIME_NONE_WORD, KELDRIN_TIME_NONE_WORD};

// Tenths form. The output starts as "no time" and stays so for a date before
// day 0 (1899-12-31), a date too large for a day number, or NaN. Tenths that
// round up to a whole day become 0 tenths of the next day.
void DateToKeldrinTime(LONG mode, double date, KeldrinTime* time);

// Tenths form back: day number and tenths start at 0 and stay 0 when the
// client call fails (giving 36526.0); then XtsPartsToDate. Whether the client
// call succeeded.
bool KeldrinTimeToDate(LONG mode, const KeldrinTime* time, DATE* date);

// tenths / 864000 + day + 1; a result below 29220.0 (1980-01-01) is moved on
// by 36525 days, so that two-digit years before 1980 read as 20xx.
DATE XtsPartsToDate(LONG day, LONG tenths);

// Either form. The microsecond form gives "no time" for a date before 1970,
// after 2106-02-07 06:28:15, or NaN; otherwise the date is rounded half up to
// the microsecond and converted with XUST2XTS, whose failure leaves the
// output as the call leaves it.
void DateToHistorianTime(LONG mode, double date, KeldrinTime* time, bool microseconds);

// Either form back. In the microsecond form a failing XTS2XUST leaves *date
// as the caller set it and gives false; the tenths form always gives true.
bool HistorianTimeToDate(LONG mode, const KeldrinTime* time, DATE* date, bool microseconds);

// The arithmetic of the microsecond form alone: seconds (unsigned) and
// microseconds (signed) since 1970 to an OLE date.
void HistorianTimeToDate(const KeldrinUst* ust, DATE* date);
