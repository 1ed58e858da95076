// CharString: the narrow (UTF-8) text holder of the module's string fields.
#pragma once

#include <cstddef>
#include <string>

#include "oleaut.h"

// Owns one heap copy of a zero-terminated narrow text. An empty text is never
// stored: no text and an empty text are one state, the null buffer, which
// every reader sees as "". Not copyable; copy with Assign(other.CStr()).
// Guarded by the lock of the object that embeds it.
class CharString {
public:
    CharString() noexcept = default;
    ~CharString() { Free(); }
    CharString(const CharString&) = delete;
    CharString& operator=(const CharString&) = delete;

    // Replaces the text with a copy of `text`; null or "" leaves the string
    // empty. `text` may point into the string's own buffer. Throws
    // std::bad_alloc when the copy cannot be made; the old text then stays.
    void Assign(const char* text);
    CharString& operator=(const char* text) {
        Assign(text);
        return *this;
    }

    // The text, or "" when empty; valid until the next change.
    const char* CStr() const noexcept { return m_psz ? m_psz : ""; }

    // A new BSTR the caller frees; an empty string gives an empty BSTR, never
    // null. Throws std::bad_alloc when the BSTR cannot be allocated.
    BSTR ToBSTR() const;

    // Below, equal to or above 0 as the text compares with `text`, ASCII
    // letters folded. A null `text` compares as "".
    int CompareNoCase(const char* text) const noexcept;

    // Length in bytes of the narrow form, 0 when empty.
    std::size_t Length() const noexcept;
    bool IsEmpty() const noexcept { return m_psz == nullptr; }

    void Free() noexcept;

private:
    char* m_psz = nullptr;  // null or a text of at least one character
};

// Converts the BSTR to narrow text (a null BSTR gives ""), assigns it to
// `out`, frees the BSTR and sets the caller's BSTR to null, also when the
// conversion throws std::bad_alloc.
void BstrToAnsiBuffer(BSTR& text, std::string& out);

// Ends the text of `length` bytes after its last character that is not a
// space (only the space character counts as a blank).
void TrimTrailingBlanks(char* text, std::size_t length) noexcept;
