// DATE, SYSTEMTIME, FILETIME, Unix time and the clock.
//
// A DATE counts days from 1899-12-30 00:00. Its whole part is the day and its
// fraction the time of day; for a negative DATE the fraction still counts
// forward from the start of that day, so -1.25 is 1899-12-29 06:00, not
// 1899-12-28 18:00. The calendar is the proleptic Gregorian one throughout.
//
// Local time uses the process time zone (TZ). A local time that a change to
// daylight saving time skips is read with the offset in force before the
// change, which moves it forward by the length of the gap (02:30 becomes
// 03:30 when clocks go from 02:00 to 03:00). A local time that occurs twice
// when clocks go back is read as its first occurrence, the one with the
// offset in force before the change.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "oleaut.h"
#include "oleaut/civil_date.h"

namespace {

namespace civil = mv::civil;

constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kTicksPerSecond = 10'000'000;  // FILETIME counts 100 ns
constexpr int64_t kTicksPerDay = kSecondsPerDay * kTicksPerSecond;
constexpr int64_t kTicksPerMillisecond = 10'000;

using civil::CivilFromDays;
using civil::DaysFromCivil;
using civil::DaysInMonth;
using civil::kDateEpochDay;
using civil::kFirstDateDay;
using civil::kLastDateDay;

// Day number of 1601-01-01, counted from 1970-01-01.
constexpr int64_t kFileTimeEpochDay = DaysFromCivil(1601, 1, 1);
constexpr int64_t kUnixEpochTicks = -kFileTimeEpochDay * kTicksPerDay;

// Latest SYSTEMTIME a FILETIME can hold (the signed 64-bit tick count).
constexpr int64_t kLastFileTimeYear = 30827;

// Day of the week, 0 = Sunday, of a day counted from 1970-01-01 (a Thursday).
WORD Weekday(int64_t days) noexcept {
    return static_cast<WORD>(((days + 4) % 7 + 7) % 7);
}

int64_t FloorDiv(int64_t a, int64_t b) noexcept {
    const int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

bool ValidCalendarDate(const SYSTEMTIME& st, int64_t firstYear, int64_t lastYear) noexcept {
    return st.wYear >= firstYear && st.wYear <= lastYear && st.wMonth >= 1 && st.wMonth <= 12 &&
           st.wDay >= 1 && st.wDay <= DaysInMonth(st.wYear, st.wMonth) && st.wHour < 24 &&
           st.wMinute < 60 && st.wSecond < 60;
}

void FillDate(SYSTEMTIME* st, int64_t days) noexcept {
    const civil::Civil c = CivilFromDays(days);
    st->wYear = static_cast<WORD>(c.year);
    st->wMonth = static_cast<WORD>(c.month);
    st->wDay = static_cast<WORD>(c.day);
    st->wDayOfWeek = Weekday(days);
}

// The day (from 1899-12-30) and the forward fraction of that day a DATE
// stands for.
void SplitDate(DATE d, double* day, double* fraction) noexcept {
    *day = std::trunc(d);
    *fraction = std::fabs(d - *day);
}

// Days since 1899-12-30 as a plain time line (negative dates unfolded).
double LinearFromDate(DATE d) noexcept {
    double day = 0, fraction = 0;
    SplitDate(d, &day, &fraction);
    return day + fraction;
}

DATE DateFromLinear(double linear) noexcept {
    const double day = std::floor(linear);
    return civil::DateFromDay(day, linear - day);
}

std::atomic<mv::ClockFunction> g_clock{nullptr};

// Counts the C library's time-zone updates made by RefreshTimeZone: an
// offset worked out before an update is not used after it.
std::atomic<uint64_t> g_zoneGeneration{0};

// Offset of local time from UTC, in seconds, at a UTC instant. The C
// library's conversion takes a process-wide lock, so each thread keeps the
// last instant it converted: runs on many threads ask for the current
// second again and again.
int64_t LocalOffsetAt(int64_t unixSeconds) noexcept {
    struct Last {
        uint64_t generation = UINT64_MAX;
        int64_t seconds = 0;
        int64_t offset = 0;
    };
    thread_local Last last;
    const uint64_t generation = g_zoneGeneration.load(std::memory_order_acquire);
    if (last.generation == generation && last.seconds == unixSeconds) return last.offset;
    const time_t t = static_cast<time_t>(unixSeconds);
    std::tm tm{};
    if (!localtime_r(&t, &tm)) return 0;
    last = Last{generation, unixSeconds, tm.tm_gmtoff};
    return tm.tm_gmtoff;
}

// UTC instant of a local wall-clock reading, both as seconds on the Unix
// scale. See the file comment for skipped and repeated local times.
int64_t UtcFromLocal(int64_t local) noexcept {
    // The offsets in force around this reading; DST changes are far more
    // than a day apart, so these include the one before and after any change
    // near it.
    const int64_t offsets[] = {LocalOffsetAt(local - kSecondsPerDay), LocalOffsetAt(local),
                               LocalOffsetAt(local + kSecondsPerDay)};
    bool found = false;
    int64_t best = 0;
    for (const int64_t o : offsets) {
        const int64_t t = local - o;
        if (LocalOffsetAt(t) == o && (!found || t < best)) {
            best = t;
            found = true;
        }
    }
    if (found) return best;
    // Skipped: the reading lies in a gap. The earliest candidate instant is
    // before the change; its offset is the one in force before the gap.
    const int64_t largest = *std::max_element(std::begin(offsets), std::end(offsets));
    return local - LocalOffsetAt(local - largest);
}

bool TicksOf(const FILETIME* ft, int64_t* ticks) noexcept {
    const uint64_t q = (uint64_t{ft->dwHighDateTime} << 32) | ft->dwLowDateTime;
    if (q > static_cast<uint64_t>(INT64_MAX)) return false;
    *ticks = static_cast<int64_t>(q);
    return true;
}

bool SetTicks(FILETIME* ft, int64_t ticks) noexcept {
    if (ticks < 0) return false;
    ft->dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks));
    ft->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
    return true;
}

// Brings the C library's time zone up to date: at once when TZ changed since
// the last call, else at most once a second (without TZ, each update looks
// at the system's zone file).
//
// A thread that found the zone up to date in this second, under the same TZ
// and with no update since, knows the answer without the process-wide lock.
void RefreshTimeZone() noexcept {
    static std::mutex m;
    static std::string lastTz;
    static bool hadTz = false;
    static int64_t lastRefresh = INT64_MIN;
    struct Checked {
        uint64_t generation = UINT64_MAX;
        int64_t second = INT64_MIN;
        bool hadTz = false;
        char tz[64] = {};
    };
    thread_local Checked checked;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    const char* tz = std::getenv("TZ");
    if (checked.second == now.tv_sec &&
        checked.generation == g_zoneGeneration.load(std::memory_order_acquire) &&
        (tz ? checked.hadTz && std::strncmp(checked.tz, tz, sizeof checked.tz) == 0
            : !checked.hadTz))
        return;
    std::lock_guard lock(m);
    tz = std::getenv("TZ");
    auto remember = [&] {
        checked.generation = g_zoneGeneration.load(std::memory_order_relaxed);
        checked.second = now.tv_sec;
        checked.hadTz = tz != nullptr;
        // A zone name too long to keep is checked under the lock every time.
        if (tz && std::strlen(tz) >= sizeof checked.tz)
            checked.second = INT64_MIN;
        else
            std::strncpy(checked.tz, tz ? tz : "", sizeof checked.tz);
    };
    if (tz ? (hadTz && lastTz == tz) : !hadTz) {
        if (now.tv_sec == lastRefresh) return remember();
    }
    try {
        lastTz = tz ? tz : "";
    } catch (...) {
        lastRefresh = INT64_MIN;  // out of memory: refresh every time
        tzset();
        g_zoneGeneration.fetch_add(1, std::memory_order_acq_rel);
        checked.second = INT64_MIN;
        return;
    }
    hadTz = tz != nullptr;
    lastRefresh = now.tv_sec;
    tzset();
    g_zoneGeneration.fetch_add(1, std::memory_order_acq_rel);
    remember();
}

// Moves a FILETIME between UTC and local time; `toLocal` picks the way.
BOOL ShiftFileTime(const FILETIME* in, FILETIME* out, bool toLocal) noexcept {
    int64_t ticks = 0;
    if (!in || !out || !TicksOf(in, &ticks)) return FALSE;
    RefreshTimeZone();
    const int64_t seconds = FloorDiv(ticks - kUnixEpochTicks, kTicksPerSecond);
    const int64_t shifted = toLocal ? seconds + LocalOffsetAt(seconds) : UtcFromLocal(seconds);
    const int64_t delta = shifted - seconds;
    // Keep the result inside the FILETIME range instead of wrapping.
    if (delta > 0 && ticks > INT64_MAX - delta * kTicksPerSecond) return FALSE;
    return SetTicks(out, ticks + delta * kTicksPerSecond) ? TRUE : FALSE;
}

}  // namespace

extern "C" {

INT VariantTimeToSystemTime(DOUBLE vtime, SYSTEMTIME* lpSystemTime) {
    if (!lpSystemTime) return FALSE;
    // Also rejects NaN.
    if (!(vtime > static_cast<double>(kFirstDateDay - 1) &&
          vtime < static_cast<double>(kLastDateDay + 1)))
        return FALSE;
    double day = 0, fraction = 0;
    SplitDate(vtime, &day, &fraction);
    // Whole seconds, the fraction rounded to the nearest one (a half rounds
    // up); 24:00 carries into the next calendar day.
    int64_t seconds = static_cast<int64_t>(std::floor(fraction * kSecondsPerDay + 0.5));
    int64_t dayNumber = static_cast<int64_t>(day);
    if (seconds >= kSecondsPerDay) {
        seconds -= kSecondsPerDay;
        ++dayNumber;
    }
    if (dayNumber < kFirstDateDay || dayNumber > kLastDateDay) return FALSE;
    FillDate(lpSystemTime, dayNumber + kDateEpochDay);
    lpSystemTime->wHour = static_cast<WORD>(seconds / 3600);
    lpSystemTime->wMinute = static_cast<WORD>(seconds / 60 % 60);
    lpSystemTime->wSecond = static_cast<WORD>(seconds % 60);
    lpSystemTime->wMilliseconds = 0;
    return TRUE;
}

INT SystemTimeToVariantTime(SYSTEMTIME* lpSystemTime, DOUBLE* pvtime) {
    if (!lpSystemTime || !pvtime) return FALSE;
    const SYSTEMTIME& st = *lpSystemTime;
    if (!ValidCalendarDate(st, 100, 9999)) return FALSE;
    // Milliseconds and the day of the week are ignored.
    const int64_t day = DaysFromCivil(st.wYear, st.wMonth, st.wDay) - kDateEpochDay;
    const int64_t seconds = st.wHour * 3600 + st.wMinute * 60 + st.wSecond;
    *pvtime =
        civil::DateFromDay(static_cast<double>(day), static_cast<double>(seconds) / kSecondsPerDay);
    return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, FILETIME* lpFileTime) {
    if (!lpSystemTime || !lpFileTime) return FALSE;
    const SYSTEMTIME& st = *lpSystemTime;
    if (!ValidCalendarDate(st, 1601, kLastFileTimeYear) || st.wMilliseconds > 999) return FALSE;
    const int64_t day = DaysFromCivil(st.wYear, st.wMonth, st.wDay) - kFileTimeEpochDay;
    const int64_t seconds = day * kSecondsPerDay + st.wHour * 3600 + st.wMinute * 60 + st.wSecond;
    return SetTicks(lpFileTime, seconds * kTicksPerSecond + st.wMilliseconds * kTicksPerMillisecond)
               ? TRUE
               : FALSE;
}

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, SYSTEMTIME* lpSystemTime) {
    int64_t ticks = 0;
    if (!lpFileTime || !lpSystemTime || !TicksOf(lpFileTime, &ticks)) return FALSE;
    const int64_t day = ticks / kTicksPerDay;
    const int64_t rest = ticks % kTicksPerDay;
    FillDate(lpSystemTime, day + kFileTimeEpochDay);
    const int64_t seconds = rest / kTicksPerSecond;
    lpSystemTime->wHour = static_cast<WORD>(seconds / 3600);
    lpSystemTime->wMinute = static_cast<WORD>(seconds / 60 % 60);
    lpSystemTime->wSecond = static_cast<WORD>(seconds % 60);
    lpSystemTime->wMilliseconds = static_cast<WORD>(rest % kTicksPerSecond / kTicksPerMillisecond);
    return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, FILETIME* lpLocalFileTime) {
    return ShiftFileTime(lpFileTime, lpLocalFileTime, true);
}

BOOL LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, FILETIME* lpFileTime) {
    return ShiftFileTime(lpLocalFileTime, lpFileTime, false);
}

// Only the process time zone is offered: a zone description other than
// null is refused.
BOOL SystemTimeToTzSpecificLocalTime(const void* lpTimeZone, const SYSTEMTIME* lpUniversalTime,
                                     SYSTEMTIME* lpLocalTime) {
    FILETIME utc{}, local{};
    if (lpTimeZone || !lpLocalTime) return FALSE;
    return SystemTimeToFileTime(lpUniversalTime, &utc) && FileTimeToLocalFileTime(&utc, &local) &&
           FileTimeToSystemTime(&local, lpLocalTime);
}

BOOL TzSpecificLocalTimeToSystemTime(const void* lpTimeZone, const SYSTEMTIME* lpLocalTime,
                                     SYSTEMTIME* lpUniversalTime) {
    FILETIME utc{}, local{};
    if (lpTimeZone || !lpUniversalTime) return FALSE;
    return SystemTimeToFileTime(lpLocalTime, &local) && LocalFileTimeToFileTime(&local, &utc) &&
           FileTimeToSystemTime(&utc, lpUniversalTime);
}

void GetSystemTimeAsFileTime(FILETIME* lpSystemTimeAsFileTime) {
    if (!lpSystemTimeAsFileTime) return;
    SetTicks(lpSystemTimeAsFileTime, mv::NowMicrosecondsUtc() * 10 + kUnixEpochTicks);
}

void GetSystemTime(SYSTEMTIME* lpSystemTime) {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    FileTimeToSystemTime(&now, lpSystemTime);
}

void GetLocalTime(SYSTEMTIME* lpSystemTime) {
    FILETIME now{}, local{};
    GetSystemTimeAsFileTime(&now);
    if (FileTimeToLocalFileTime(&now, &local)) FileTimeToSystemTime(&local, lpSystemTime);
}

}  // extern "C"

namespace mv {

DATE DateFromFileTime(const FILETIME& ft) {
    int64_t ticks = 0;
    if (!TicksOf(&ft, &ticks)) return 0;
    const int64_t day = ticks / kTicksPerDay + (kFileTimeEpochDay - kDateEpochDay);
    const double fraction = static_cast<double>(ticks % kTicksPerDay) / kTicksPerDay;
    return civil::DateFromDay(static_cast<double>(day), fraction);
}

// Rounds to the millisecond: a DATE cannot hold finer steps exactly, and
// rounding makes a FILETIME in whole milliseconds survive the round trip.
// A DATE that no FILETIME holds (before 1601-01-01, after the year 9999,
// not a number) gives the zero FILETIME.
FILETIME FileTimeFromDate(DATE d) {
    FILETIME ft{0, 0};
    if (!(d > static_cast<double>(kFirstDateDay - 1) && d < static_cast<double>(kLastDateDay + 1)))
        return ft;
    double day = 0, fraction = 0;
    SplitDate(d, &day, &fraction);
    const int64_t ms = std::llround(fraction * kSecondsPerDay * 1000.0);
    const int64_t days = static_cast<int64_t>(day) + kDateEpochDay - kFileTimeEpochDay;
    SetTicks(&ft, days * kTicksPerDay + ms * kTicksPerMillisecond);
    return ft;
}

DATE DateFromUnixSeconds(double seconds) {
    return DateFromLinear(seconds / kSecondsPerDay + kUnixEpochAsDate);
}

double UnixSecondsFromDate(DATE d) {
    return (LinearFromDate(d) - kUnixEpochAsDate) * kSecondsPerDay;
}

void SetClockForTesting(ClockFunction clock) {
    g_clock.store(clock);
}

int64_t NowMicrosecondsUtc() {
    if (const ClockFunction clock = g_clock.load()) return clock();
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace mv
