// DATE, SYSTEMTIME, FILETIME and the clock.
#include "oleaut.h"

extern "C" {
INT VariantTimeToSystemTime(DOUBLE, SYSTEMTIME*) {
    return FALSE;
}
INT SystemTimeToVariantTime(SYSTEMTIME*, DOUBLE*) {
    return FALSE;
}
void GetSystemTime(SYSTEMTIME*) {}
void GetLocalTime(SYSTEMTIME*) {}
void GetSystemTimeAsFileTime(FILETIME*) {}
BOOL SystemTimeToFileTime(const SYSTEMTIME*, FILETIME*) {
    return FALSE;
}
BOOL FileTimeToSystemTime(const FILETIME*, SYSTEMTIME*) {
    return FALSE;
}
BOOL FileTimeToLocalFileTime(const FILETIME*, FILETIME*) {
    return FALSE;
}
BOOL LocalFileTimeToFileTime(const FILETIME*, FILETIME*) {
    return FALSE;
}
BOOL SystemTimeToTzSpecificLocalTime(const void*, const SYSTEMTIME*, SYSTEMTIME*) {
    return FALSE;
}
BOOL TzSpecificLocalTimeToSystemTime(const void*, const SYSTEMTIME*, SYSTEMTIME*) {
    return FALSE;
}
}

namespace mv {
DATE DateFromFileTime(const FILETIME&) {
    return 0;
}
FILETIME FileTimeFromDate(DATE) {
    return {};
}
DATE DateFromUnixSeconds(double) {
    return 0;
}
double UnixSecondsFromDate(DATE) {
    return 0;
}
void SetClockForTesting(ClockFunction) {}
int64_t NowMicrosecondsUtc() {
    return 0;
}
}  // namespace mv
