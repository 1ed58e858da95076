// The position a stream's Seek moves to, shared by the streams on memory and
// the streams of compound files; not part of the platform's surface.
#pragma once

#include <cstdint>

#include "com.h"

namespace mv::streams {

// `move` bytes from the start, from `position` or from `size`, by `origin`.
// STG_E_INVALIDFUNCTION for another origin and for a target before the start
// or beyond the range of a signed 64-bit offset.
inline HRESULT SeekPosition(uint64_t position, uint64_t size, LARGE_INTEGER move, DWORD origin,
                            uint64_t* target) noexcept {
    int64_t base;
    switch (origin) {
        case STREAM_SEEK_SET:
            base = 0;
            break;
        case STREAM_SEEK_CUR:
            base = static_cast<int64_t>(position);
            break;
        case STREAM_SEEK_END:
            base = static_cast<int64_t>(size);
            break;
        default:
            return STG_E_INVALIDFUNCTION;
    }
    int64_t result;
    if (__builtin_add_overflow(base, move.QuadPart, &result) || result < 0) {
        return STG_E_INVALIDFUNCTION;
    }
    *target = static_cast<uint64_t>(result);
    return S_OK;
}

}  // namespace mv::streams
