// The COM runtime's current time.
#include "com.h"
#include "oleaut.h"

extern "C" {

HRESULT CoFileTimeNow(FILETIME* lpFileTime) {
    if (!lpFileTime) return E_INVALIDARG;
    GetSystemTimeAsFileTime(lpFileTime);
    return S_OK;
}

}  // extern "C"
