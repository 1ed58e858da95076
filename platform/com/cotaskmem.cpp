// Task memory: the allocator of out-parameter strings and arrays that the
// callee allocates and the caller frees.
#include <cstdlib>

#include "com.h"

extern "C" {

LPVOID CoTaskMemAlloc(SIZE_T cb) {
    // A zero-byte request still gives a distinct pointer to free later.
    return std::malloc(cb ? cb : 1);
}

LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
    if (!pv) return CoTaskMemAlloc(cb);
    if (cb == 0) {
        std::free(pv);
        return nullptr;
    }
    return std::realloc(pv, cb);
}

void CoTaskMemFree(LPVOID pv) {
    std::free(pv);
}

}  // extern "C"
