// The frame of the library's C entry points: running out of memory inside
// one is its failure code, never an exception thrown to a caller that may
// not catch it (a C caller, another library, a COM client).
#pragma once

#include <new>

#include "sys.h"

namespace mv {

// What `body` returns; `outOfMemory` when it runs out of memory.
template <class Result, class Body>
Result OutOfMemoryAs(Result outOfMemory, Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return outOfMemory;
    }
}

// The same for an entry point that tells its failure through the last
// error: `failed`, with ERROR_NOT_ENOUGH_MEMORY as the last error.
template <class Result, class Body>
Result OutOfMemoryAsLastError(Result failed, Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return failed;
    }
}

}  // namespace mv
