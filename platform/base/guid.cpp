#include <cstdio>
#include <cstring>

#include "base.h"

bool operator==(const GUID& a, const GUID& b) noexcept {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::memcmp(a.Data4, b.Data4, 8) == 0;
}

bool operator<(const GUID& a, const GUID& b) noexcept {
    if (a.Data1 != b.Data1) return a.Data1 < b.Data1;
    if (a.Data2 != b.Data2) return a.Data2 < b.Data2;
    if (a.Data3 != b.Data3) return a.Data3 < b.Data3;
    return std::memcmp(a.Data4, b.Data4, 8) < 0;
}

namespace mv {
namespace {

int HexValue(char32_t c) noexcept {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    return -1;
}

template <typename Char>
bool ParseGuid(std::basic_string_view<Char> t, GUID* out) noexcept {
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    if (!out || t.size() != 38 || t[0] != '{' || t[37] != '}') return false;
    uint8_t bytes[16];
    size_t pos = 1;
    int b = 0;
    for (int group : {4, 2, 2, 2, 6}) {
        for (int i = 0; i < group; ++i, pos += 2) {
            int hi = HexValue(t[pos]), lo = HexValue(t[pos + 1]);
            if (hi < 0 || lo < 0) return false;
            bytes[b++] = static_cast<uint8_t>(hi * 16 + lo);
        }
        if (b < 16) {
            if (t[pos] != '-') return false;
            ++pos;
        }
    }
    GUID g;
    g.Data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
              bytes[3];
    g.Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
    g.Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
    std::memcpy(g.Data4, bytes + 8, 8);
    *out = g;
    return true;
}

}  // namespace

std::string GuidToString(const GUID& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

std::u16string GuidToOleString(const GUID& g) {
    std::string s = GuidToString(g);
    return std::u16string(s.begin(), s.end());
}

bool GuidFromString(std::string_view text, GUID* out) noexcept { return ParseGuid(text, out); }
bool GuidFromOleString(std::u16string_view text, GUID* out) noexcept {
    return ParseGuid(text, out);
}

void GuidToBytes(const GUID& g, uint8_t out[16]) noexcept {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(g.Data1 >> (8 * i));
    for (int i = 0; i < 2; ++i) out[4 + i] = static_cast<uint8_t>(g.Data2 >> (8 * i));
    for (int i = 0; i < 2; ++i) out[6 + i] = static_cast<uint8_t>(g.Data3 >> (8 * i));
    std::memcpy(out + 8, g.Data4, 8);
}

GUID GuidFromBytes(const uint8_t in[16]) noexcept {
    GUID g;
    g.Data1 = uint32_t{in[0]} | (uint32_t{in[1]} << 8) | (uint32_t{in[2]} << 16) |
              (uint32_t{in[3]} << 24);
    g.Data2 = static_cast<uint16_t>(in[4] | (in[5] << 8));
    g.Data3 = static_cast<uint16_t>(in[6] | (in[7] << 8));
    std::memcpy(g.Data4, in + 8, 8);
    return g;
}

}  // namespace mv
