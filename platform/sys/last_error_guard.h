// The frame of the library's C entry points that tell a failure through the
// last error: no exception leaves one, running out of memory included.
#pragma once

#include "sys.h"

namespace mv {

// What `body` returns; `failed` when the body ran out of memory, with
// ERROR_NOT_ENOUGH_MEMORY as the last error (ERROR_INVALID_FUNCTION for any
// other exception).
template <class Result, class Body>
Result CallGuardedLastError(Result failed, Body&& body) noexcept {
    Result result = failed;
    bool unexpected = false;
    if (FAILED(CallGuarded([&] { result = body(); }, E_OUTOFMEMORY, &unexpected))) {
        SetLastError(unexpected ? ERROR_INVALID_FUNCTION : ERROR_NOT_ENOUGH_MEMORY);
        return failed;
    }
    return result;
}

}  // namespace mv
