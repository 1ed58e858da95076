#include "base.h"

namespace mv {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void AppendUtf16(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (c >> 10));
        out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    }
}

template <typename Char>
char32_t FoldAscii(Char c) noexcept {
    char32_t u = static_cast<std::make_unsigned_t<Char>>(c);
    return (u >= 'A' && u <= 'Z') ? u + ('a' - 'A') : u;
}

template <typename Char>
int CompareFolded(std::basic_string_view<Char> a, std::basic_string_view<Char> b) noexcept {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        char32_t x = FoldAscii(a[i]), y = FoldAscii(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

// Copies the leading ASCII run of `text` into a new string of the other
// width; `*end` receives where the run stops.
template <typename To, typename From>
std::basic_string<To> AsciiRun(std::basic_string_view<From> text, size_t* end) {
    size_t n = 0;
    while (n < text.size() && static_cast<std::make_unsigned_t<From>>(text[n]) < 0x80) ++n;
    std::basic_string<To> out(n, To());
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<To>(text[i]);
    *end = n;
    return out;
}

}  // namespace

std::string ToUtf8(std::u16string_view text) {
    size_t ascii = 0;
    std::string out = AsciiRun<char>(text, &ascii);
    if (ascii == text.size()) return out;
    out.reserve(text.size() + (text.size() - ascii) * 2);
    for (size_t i = ascii; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
                ++i;
            } else {
                c = kReplacement;  // high surrogate without its partner
            }
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            c = kReplacement;  // lone low surrogate
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::string ToUtf8(const OLECHAR* text) {
    return text ? ToUtf8(std::u16string_view(text)) : std::string();
}

std::u16string ToUtf16(std::string_view text) {
    size_t i = 0;
    std::u16string out = AsciiRun<char16_t>(text, &i);
    if (i == text.size()) return out;
    out.reserve(text.size());
    while (i < text.size()) {
        auto b0 = static_cast<unsigned char>(text[i]);
        if (b0 < 0x80) {
            out += static_cast<char16_t>(b0);
            ++i;
            continue;
        }
        int len = 0;
        char32_t c = 0, min = 0;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            len = 2, c = b0 & 0x1F, min = 0x80;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            len = 3, c = b0 & 0x0F, min = 0x800;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            len = 4, c = b0 & 0x07, min = 0x10000;
        }
        bool ok = len > 0 && i + len <= text.size();
        for (int k = 1; ok && k < len; ++k) {
            auto b = static_cast<unsigned char>(text[i + k]);
            if ((b & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            c = (c << 6) | (b & 0x3F);
        }
        if (ok && (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) ok = false;
        if (!ok) {
            // One replacement per invalid lead byte; resynchronise on the next byte.
            out += static_cast<char16_t>(kReplacement);
            ++i;
            continue;
        }
        AppendUtf16(out, c);
        i += len;
    }
    return out;
}

std::u16string ToUtf16(const char* text) {
    return text ? ToUtf16(std::string_view(text)) : std::u16string();
}

int CompareNoCase(std::string_view a, std::string_view b) noexcept {
    return CompareFolded(a, b);
}
int CompareNoCase(std::u16string_view a, std::u16string_view b) noexcept {
    return CompareFolded(a, b);
}

}  // namespace mv
