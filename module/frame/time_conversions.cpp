// Conversions between OLE dates and historian times. See time_conversions.h.
#include "frame/time_conversions.h"

#include <cmath>
#include <cstdint>

#include "frame/keldrin_client.h"

namespace {

constexpr double kDate1970 = 25569.0;
constexpr double kTenthsPerDay = 864000.0;
constexpr int64_t kMicrosPerSecond = 1000000;
// First microsecond count past the last historian second: the all-ones
// seconds word is the historian's "no time".
constexpr double kMicrosEnd = 4294967295.0 * 1000000.0;

}  // namespace

void DateToKeldrinTime(LONG mode, double date, KeldrinTime* time) {
    if (!time) return;
    *time = kNoKeldrinTime;
    double fraction = std::fabs(std::fmod(date, 1.0));
    double whole = date - fraction;
    // Day numbers from 0 to the largest 32-bit one; NaN fails both tests.
    if (!(whole >= 1.0 && whole <= 2147483648.0)) return;
    LONG day = static_cast<LONG>(static_cast<int64_t>(whole) - 1);
    LONG tenths = static_cast<LONG>(fraction * kTenthsPerDay + 0.5);
    if (tenths >= static_cast<LONG>(kTenthsPerDay)) {
        if (day == INT32_MAX) return;
        ++day;
        tenths = 0;
    }
    if (mode == 1)
        L_DSPDT2XTS(day, tenths, time);
    else
        DSPDT2XTS(day, tenths, time);
}

DATE XtsPartsToDate(LONG day, LONG tenths) {
    DATE date = tenths / kTenthsPerDay + (static_cast<double>(day) + 1.0);
    if (date < 29220.0) date += 36525.0;
    return date;
}

bool KeldrinTimeToDate(LONG mode, const KeldrinTime* time, DATE* date) {
    if (!date) return false;
    LONG day = 0;
    LONG tenths = 0;
    const SHORT code =
        mode == 1 ? L_XTS2DSPDT(time, &day, &tenths) : XTS2DSPDT(time, &day, &tenths);
    *date = XtsPartsToDate(day, tenths);
    return code == KELDRIN_OK;
}

void DateToHistorianTime(LONG mode, double date, KeldrinTime* time, bool microseconds) {
    if (!microseconds) {
        DateToKeldrinTime(mode, date, time);
        return;
    }
    if (!time) return;
    double micros = (date - kDate1970) * 86400.0 * 1000000.0 + 0.5;
    // Dates before 1970, from 2106-02-07 06:28:15 on, or NaN.
    if (!(date >= kDate1970 && micros < kMicrosEnd)) {
        *time = kNoKeldrinTime;
        return;
    }
    int64_t count = static_cast<int64_t>(micros);
    KeldrinUst ust{static_cast<ULONG>(count / kMicrosPerSecond),
                   static_cast<LONG>(count % kMicrosPerSecond)};
    XUST2XTS(&ust, time);
}

void HistorianTimeToDate(const KeldrinUst* ust, DATE* date) {
    if (!ust || !date) return;
    int64_t micros = static_cast<int64_t>(ust->Seconds) * kMicrosPerSecond + ust->Micro;
    *date = static_cast<double>(micros) / 86400.0 / 1000000.0 + kDate1970;
}

bool HistorianTimeToDate(LONG mode, const KeldrinTime* time, DATE* date, bool microseconds) {
    if (!microseconds) {
        KeldrinTimeToDate(mode, time, date);
        return true;
    }
    KeldrinUst ust{};
    if (XTS2XUST(time, &ust) != KELDRIN_OK) return false;
    HistorianTimeToDate(&ust, date);
    return true;
}
