// BSTR allocation.
//
// Layout: a 4-byte byte count, then the characters, then a zero OLECHAR.
// The BSTR points at the first character, so the count sits at b[-2..-1].
// The block is sized so that a string made from an odd number of bytes
// still ends in a whole zero OLECHAR. A string grown by AppendToBstr keeps
// spare room after its terminator; the allocator knows the block's size.
#include <malloc.h>

#include <cstdlib>
#include <cstring>

#include "oleaut.h"

namespace {

constexpr size_t kPrefix = sizeof(DWORD);
// Largest byte count whose block (prefix + bytes + padding + terminator)
// still fits the 32-bit count and a sane allocation.
constexpr size_t kMaxBytes = 0x7FFFFFF0u;

DWORD* PrefixOf(BSTR b) noexcept {
    return reinterpret_cast<DWORD*>(reinterpret_cast<char*>(b) - kPrefix);
}

// Allocates a BSTR of `bytes` bytes, copying `src` when given and zeroing
// otherwise (the platform leaves it unset; zero is the safe choice).
BSTR AllocBytes(const void* src, size_t bytes) noexcept {
    if (bytes > kMaxBytes) return nullptr;
    // Round the body up to whole OLECHARs, then add the terminator.
    const size_t body = (bytes + 1) & ~size_t{1};
    const size_t total = kPrefix + body + sizeof(OLECHAR);
    auto* block = static_cast<char*>(std::malloc(total));
    if (!block) return nullptr;
    const DWORD count = static_cast<DWORD>(bytes);
    std::memcpy(block, &count, kPrefix);
    char* chars = block + kPrefix;
    if (src)
        std::memcpy(chars, src, bytes);
    else
        std::memset(chars, 0, bytes);
    std::memset(chars + bytes, 0, total - kPrefix - bytes);
    return reinterpret_cast<BSTR>(chars);
}

size_t Length(const OLECHAR* s) noexcept {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

// Replaces *pbstr by a new string; `src` may point into the old one.
INT Reallocate(BSTR* pbstr, const OLECHAR* src, size_t chars) noexcept {
    if (!pbstr || chars > kMaxBytes / sizeof(OLECHAR)) return FALSE;
    BSTR fresh = AllocBytes(src, chars * sizeof(OLECHAR));
    if (!fresh) return FALSE;
    SysFreeString(*pbstr);
    *pbstr = fresh;
    return TRUE;
}

}  // namespace

extern "C" {

BSTR SysAllocString(const OLECHAR* psz) {
    if (!psz) return nullptr;
    return AllocBytes(psz, Length(psz) * sizeof(OLECHAR));
}

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    if (ui > kMaxBytes / sizeof(OLECHAR)) return nullptr;
    return AllocBytes(strIn, size_t{ui} * sizeof(OLECHAR));
}

BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) {
    return AllocBytes(psz, len);
}

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
    // A null source leaves an empty string, not a null one.
    return Reallocate(pbstr, psz, psz ? Length(psz) : 0);
}

INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
    return Reallocate(pbstr, psz, len);
}

void SysFreeString(BSTR bstrString) {
    if (bstrString) std::free(PrefixOf(bstrString));
}

UINT SysStringLen(BSTR pbstr) {
    return pbstr ? *PrefixOf(pbstr) / static_cast<UINT>(sizeof(OLECHAR)) : 0;
}

UINT SysStringByteLen(BSTR bstr) {
    return bstr ? *PrefixOf(bstr) : 0;
}

}  // extern "C"

namespace mv {

HRESULT AppendToBstr(BSTR* target, const OLECHAR* chars, UINT count) noexcept {
    if (!target) return E_INVALIDARG;
    const size_t bytes = SysStringByteLen(*target);
    if (bytes % sizeof(OLECHAR) != 0) return E_INVALIDARG;
    if (count == 0 && *target) return S_OK;
    const size_t added = size_t{count} * sizeof(OLECHAR);
    if (added > kMaxBytes - bytes) return E_OUTOFMEMORY;
    const size_t needed = kPrefix + bytes + added + sizeof(OLECHAR);
    char* block = *target ? reinterpret_cast<char*>(PrefixOf(*target)) : nullptr;
    if (!block || malloc_usable_size(block) < needed) {
        // Doubling keeps the copies of a growing string linear in its length.
        size_t room = block ? 2 * (kPrefix + bytes + sizeof(OLECHAR)) : needed;
        if (room < needed) room = needed;
        if (room > kPrefix + kMaxBytes + sizeof(OLECHAR)) room = needed;
        // `chars` may lie in the string itself: keep the old block until the
        // characters are copied.
        auto* grown = static_cast<char*>(std::malloc(room));
        if (!grown) return E_OUTOFMEMORY;
        if (block) std::memcpy(grown, block, kPrefix + bytes);
        if (added) std::memcpy(grown + kPrefix + bytes, chars, added);
        std::free(block);
        block = grown;
    } else if (added) {
        std::memmove(block + kPrefix + bytes, chars, added);
    }
    const DWORD total = static_cast<DWORD>(bytes + added);
    std::memcpy(block, &total, kPrefix);
    std::memset(block + kPrefix + total, 0, sizeof(OLECHAR));
    *target = reinterpret_cast<BSTR>(block + kPrefix);
    return S_OK;
}

Bstr::Bstr(std::string_view utf8) {
    const std::u16string wide = ToUtf16(utf8);
    b_ = Allocated(SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size())));
}

}  // namespace mv
