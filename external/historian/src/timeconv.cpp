// Historian times: the 8-byte time, the microsecond form, the local
// day-and-tenths form, their arithmetic and texts; and the error messages.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "impl.h"

namespace kh {

namespace {

constexpr int64_t kMicrosPerSecond = 1000000;
constexpr int64_t kMaxSeconds = 0xFFFFFFFEll;  // 0xFFFFFFFF is the "no time" word
constexpr LONG kDay1970 = 25568;               // day number of 1970-01-01
constexpr LONG kTenthsPerDay = 864000;

// Days from 1970-01-01 to a proleptic Gregorian date.
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool localTm(int64_t seconds, std::tm* out) {
    std::time_t t = static_cast<std::time_t>(seconds);
    return localtime_r(&t, out) != nullptr;
}

long utcOffset(int64_t seconds) {
    std::tm tm{};
    if (!localTm(seconds, &tm)) return 0;
    return tm.tm_gmtoff;
}

}  // namespace

bool validTime(const KeldrinTime& t) {
    return t.Seconds != KELDRIN_TIME_NONE_WORD && t.Micro < kMicrosPerSecond;
}

bool toMicros(const KeldrinTime& t, int64_t* micros) {
    if (!validTime(t)) return false;
    *micros = static_cast<int64_t>(t.Seconds) * kMicrosPerSecond + t.Micro;
    return true;
}

bool fromMicros(int64_t micros, KeldrinTime* t) {
    if (micros < 0 || micros / kMicrosPerSecond > kMaxSeconds) return false;
    t->Seconds = static_cast<ULONG>(micros / kMicrosPerSecond);
    t->Micro = static_cast<ULONG>(micros % kMicrosPerSecond);
    return true;
}

bool ustToMicros(const KeldrinUst& u, int64_t* micros) {
    if (u.Micro < 0 || u.Micro >= kMicrosPerSecond || u.Seconds > kMaxSeconds) return false;
    *micros = static_cast<int64_t>(u.Seconds) * kMicrosPerSecond + u.Micro;
    return true;
}

KeldrinUst microsToUst(int64_t micros) {
    return KeldrinUst{static_cast<ULONG>(micros / kMicrosPerSecond),
                      static_cast<LONG>(micros % kMicrosPerSecond)};
}

KeldrinTime clockNow() {
    Model& m = Model::get();
    {
        std::lock_guard lock(m.mutex);
        if (m.clock) return *m.clock;
    }
    auto now = std::chrono::system_clock::now().time_since_epoch();
    KeldrinTime t{};
    fromMicros(std::chrono::duration_cast<std::chrono::microseconds>(now).count(), &t);
    return t;
}

double calcdelxtm(const KeldrinTime* a, const KeldrinTime* b) {
    int64_t ma = 0, mb = 0;
    if (!a || !b || !toMicros(*a, &ma) || !toMicros(*b, &mb)) return 0.0;
    return static_cast<double>(ma - mb) / 100000.0;
}

SHORT xtsplusdt(KeldrinTime* time, const double* tenths) {
    int64_t m = 0;
    if (!time || !tenths || !std::isfinite(*tenths) || std::fabs(*tenths) > 1e14)
        return KELDRIN_E_BADARG;
    if (!toMicros(*time, &m)) return KELDRIN_E_BADTIME;
    KeldrinTime out{};
    if (!fromMicros(m + std::llround(*tenths * 100000.0), &out)) return KELDRIN_E_BADTIME;
    *time = out;
    return KELDRIN_OK;
}

SHORT xts2dspdt(const KeldrinTime* time, LONG* day, LONG* tenths) {
    if (!time || !day || !tenths) return KELDRIN_E_BADARG;
    std::tm tm{};
    if (!validTime(*time) || !localTm(time->Seconds, &tm)) return KELDRIN_E_BADTIME;
    int64_t days = daysFromCivil(tm.tm_year + 1900ll, static_cast<unsigned>(tm.tm_mon + 1),
                                 static_cast<unsigned>(tm.tm_mday));
    *day = static_cast<LONG>(days + kDay1970);
    *tenths = (tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec) * 10 +
              static_cast<LONG>(time->Micro / 100000);
    return KELDRIN_OK;
}

SHORT dspdt2xts(LONG day, LONG tenths, KeldrinTime* time) {
    if (!time) return KELDRIN_E_BADARG;
    if (day < 0 || tenths < 0) return KELDRIN_E_BADTIME;
    int64_t d = int64_t(day) + tenths / kTenthsPerDay;
    int64_t rest = tenths % kTenthsPerDay;
    // Wall-clock seconds of the local time, counted as if it were UTC.
    int64_t wall = (d - kDay1970) * 86400 + rest / 10;
    int64_t micro = (rest % 10) * 100000;
    long before = utcOffset(wall - 86400);
    long after = utcOffset(wall + 86400);
    int64_t chosen = 0;
    bool found = false;
    for (long off : {before, after}) {
        int64_t t = wall - off;
        if (utcOffset(t) == off && (!found || t < chosen)) {
            chosen = t;
            found = true;
        }
    }
    // A skipped local time takes the offset in force before the change,
    // which lands the length of the gap later.
    if (!found) chosen = wall - before;
    KeldrinTime out{};
    if (!fromMicros(chosen * kMicrosPerSecond + micro, &out)) return KELDRIN_E_BADTIME;
    *time = out;
    return KELDRIN_OK;
}

SHORT xts2xust(const KeldrinTime* time, KeldrinUst* ust) {
    int64_t m = 0;
    if (!time || !ust) return KELDRIN_E_BADARG;
    if (!toMicros(*time, &m)) return KELDRIN_E_BADTIME;
    *ust = microsToUst(m);
    return KELDRIN_OK;
}

SHORT xust2xts(const KeldrinUst* ust, KeldrinTime* time) {
    int64_t m = 0;
    if (!time || !ust) return KELDRIN_E_BADARG;
    if (!ustToMicros(*ust, &m) || !fromMicros(m, time)) return KELDRIN_E_BADTIME;
    return KELDRIN_OK;
}

SHORT getdbxtim(KeldrinTime* time) {
    if (!time) return KELDRIN_E_BADARG;
    *time = clockNow();
    return KELDRIN_OK;
}

SHORT xts2ascii(const KeldrinTime* time, char* text, SHORT width, SHORT* length) {
    static const char* const kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                          "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    if (!time || !text || width <= 0) return KELDRIN_E_BADARG;
    std::tm tm{};
    if (!validTime(*time) || !localTm(time->Seconds, &tm)) return KELDRIN_E_BADTIME;
    char buf[48];
    int n = std::snprintf(buf, sizeof buf, "%02d-%s-%04d %02d:%02d:%02d", tm.tm_mday,
                          kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    int count = n < width ? n : width;
    std::memcpy(text, buf, static_cast<size_t>(count));
    if (count < width) text[count] = '\0';
    if (length) *length = static_cast<SHORT>(count);
    return KELDRIN_OK;
}

void errmess(const KeldrinErrorBlock* err, char* text, SHORT* length) {
    if (!err || !text) return;
    const char* fixed = nullptr;
    switch (err->ERRORCODE) {
        case KELDRIN_OK:
            fixed = "No error.";
            break;
        case KELDRIN_E_BADARG:
            fixed = "Invalid argument.";
            break;
        case KELDRIN_E_NORECORD:
            fixed = "Record not found.";
            break;
        case KELDRIN_E_NOFIELD:
            fixed = "Field not found.";
            break;
        case KELDRIN_E_TYPE:
            fixed = "Data type does not match the field.";
            break;
        case KELDRIN_E_NOSERVER:
            fixed = "Keldrin server not found.";
            break;
        case KELDRIN_E_NOTSELECTED:
            fixed = "No Keldrin server selected.";
            break;
        case KELDRIN_E_BADTIME:
            fixed = "Invalid time.";
            break;
        case KELDRIN_E_RANGE:
            fixed = "Value out of range for the field.";
            break;
        case KELDRIN_E_VERSION:
            fixed = "Function not supported by this server version.";
            break;
        case KELDRIN_E_BADMODE:
            fixed = "Invalid history mode.";
            break;
        case KELDRIN_E_NOTSUPPORTED:
            fixed = "Function not supported.";
            break;
        case KELDRIN_E_NOTAVAILABLE:
            fixed = "Keldrin Not Available.";
            break;
        default:
            break;
    }
    // Callers pass 78-byte buffers and no size: 77 characters and a zero.
    char buf[128];
    if (fixed)
        std::snprintf(buf, sizeof buf, "%s", fixed);
    else
        std::snprintf(buf, sizeof buf, "Keldrin error %d (%d, %d).", err->ERRORCODE,
                      static_cast<int>(err->ERR1), static_cast<int>(err->ERR2));
    size_t n = strnlen(buf, 77);
    std::memcpy(text, buf, n);
    text[n] = '\0';
    if (length) *length = static_cast<SHORT>(n);
}

}  // namespace kh
