#include "frame/owned_string.h"

#include <cstring>
#include <new>
#include <string>

void CharString::Assign(const char* text) {
    // Copy before freeing: the source may be this string's own buffer.
    char* copy = nullptr;
    if (text != nullptr && *text != '\0') {
        const std::size_t size = std::strlen(text) + 1;
        copy = new char[size];
        std::memcpy(copy, text, size);
    }
    Free();
    m_psz = copy;
}

BSTR CharString::ToBSTR() const {
    const std::u16string wide = mv::ToUtf16(CStr());
    BSTR result = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    if (result == nullptr) throw std::bad_alloc();
    return result;
}

int CharString::CompareNoCase(const char* text) const noexcept {
    return mv::CompareNoCase(CStr(), text ? text : "");
}

std::size_t CharString::Length() const noexcept {
    return m_psz ? std::strlen(m_psz) : 0;
}

void CharString::Free() noexcept {
    delete[] m_psz;
    m_psz = nullptr;
}

void BstrToAnsiBuffer(BSTR& text, std::string& out) {
    // The BSTR is freed also when the text cannot be converted for lack of
    // memory.
    struct Freed {
        BSTR& text;
        ~Freed() {
            SysFreeString(text);
            text = nullptr;
        }
    } freed{text};
    out = mv::ToUtf8(text);
}

void TrimTrailingBlanks(char* text, std::size_t length) noexcept {
    if (!text) return;
    while (length > 0 && text[length - 1] == ' ') --length;
    text[length] = '\0';
}
