#include "storage/cfb_check.h"

#include <algorithm>
#include <cstring>

namespace mv::cfb {
namespace {

constexpr uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr size_t kHeaderFields = 512;
constexpr uint32_t kHeaderDifatEntries = 109;
constexpr uint32_t kDirEntrySize = 128;
constexpr uint32_t kMaxRegularSector = 0xFFFFFFFA;
// The reader walks the directory tree recursively; a tree deeper than this is
// damaged (balanced trees of any real size stay far below it) and would risk
// its stack.
constexpr size_t kMaxTreeDepth = 2048;

uint16_t U16(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}
uint32_t U32(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
           (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
uint64_t U64(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint64_t>(U32(b, at)) | (static_cast<uint64_t>(U32(b, at + 4)) << 32);
}

// Follows a chain through `table`, each link checked against `limit`.
// Fails on an index out of range, a special value inside the chain, or a
// sector met twice.
bool WalkChain(const std::vector<uint32_t>& table, uint32_t start, uint32_t limit,
               std::vector<uint32_t>* chain) {
    chain->clear();
    std::vector<bool> seen(limit, false);
    uint32_t sector = start;
    while (sector != kEndOfChain) {
        if (sector >= limit || sector >= table.size() || seen[sector]) return false;
        seen[sector] = true;
        chain->push_back(sector);
        sector = table[sector];
    }
    return true;
}

class Parser {
public:
    Parser(std::span<const uint8_t> bytes, Layout* out) : b_(bytes), l_(*out) {}

    HRESULT Run() {
        if (b_.size() < sizeof kSignature || std::memcmp(b_.data(), kSignature, 8) != 0) {
            return STG_E_FILEALREADYEXISTS;
        }
        if (HRESULT hr = Header(); FAILED(hr)) return hr;
        if (!Fat() || !Directory() || !Tree() || !MiniStream()) return STG_E_DOCFILECORRUPT;
        return S_OK;
    }

private:
    std::span<const uint8_t> Sector(uint32_t index) const {
        return b_.subspan((static_cast<size_t>(index) + 1) * l_.sectorSize, l_.sectorSize);
    }

    HRESULT Header() {
        if (b_.size() < kHeaderFields) return STG_E_INVALIDHEADER;
        const uint16_t major = U16(b_, 26);
        const uint16_t shift = U16(b_, 30);
        if (U16(b_, 28) != 0xFFFE || U16(b_, 32) != 6) return STG_E_INVALIDHEADER;
        if (!((major == 3 && shift == 9) || (major == 4 && shift == 12))) {
            return STG_E_INVALIDHEADER;
        }
        l_.sectorSize = 1u << shift;
        l_.miniSectorSize = 64;
        l_.miniCutoff = U32(b_, 56);
        if (l_.miniCutoff != 4096) return STG_E_INVALIDHEADER;
        if (b_.size() < l_.sectorSize) return STG_E_INVALIDHEADER;
        const uint64_t sectors = b_.size() / l_.sectorSize - 1;
        l_.sectorCount = static_cast<uint32_t>(std::min<uint64_t>(sectors, kMaxRegularSector));
        major_ = major;
        fatCount_ = U32(b_, 44);
        firstDir_ = U32(b_, 48);
        firstMiniFat_ = U32(b_, 60);
        miniFatCount_ = U32(b_, 64);
        firstDifat_ = U32(b_, 68);
        difatCount_ = U32(b_, 72);
        return S_OK;
    }

    bool Fat() {
        if (fatCount_ == 0 || fatCount_ > l_.sectorCount) return false;
        std::vector<uint32_t> fatSectors;
        fatSectors.reserve(fatCount_);
        for (uint32_t i = 0; i < kHeaderDifatEntries && fatSectors.size() < fatCount_; ++i) {
            fatSectors.push_back(U32(b_, 76 + 4 * i));
        }
        const uint32_t perSector = l_.sectorSize / 4;
        uint32_t difat = firstDifat_;
        std::vector<bool> seen(l_.sectorCount, false);
        for (uint32_t n = 0; fatSectors.size() < fatCount_; ++n) {
            if (n >= difatCount_ || difat >= l_.sectorCount || seen[difat]) return false;
            seen[difat] = true;
            auto s = Sector(difat);
            for (uint32_t i = 0; i + 1 < perSector && fatSectors.size() < fatCount_; ++i) {
                fatSectors.push_back(U32(s, 4 * i));
            }
            difat = U32(s, 4 * (perSector - 1));
        }
        std::fill(seen.begin(), seen.end(), false);
        l_.fat.clear();
        l_.fat.reserve(static_cast<size_t>(fatCount_) * perSector);
        for (uint32_t index : fatSectors) {
            if (index >= l_.sectorCount || seen[index]) return false;
            seen[index] = true;
            auto s = Sector(index);
            for (uint32_t i = 0; i < perSector; ++i) l_.fat.push_back(U32(s, 4 * i));
        }
        return true;
    }

    bool Directory() {
        std::vector<uint32_t> chain;
        if (!WalkChain(l_.fat, firstDir_, l_.sectorCount, &chain) || chain.empty()) return false;
        const uint32_t perSector = l_.sectorSize / kDirEntrySize;
        l_.entries.clear();
        l_.entries.reserve(chain.size() * perSector);
        for (uint32_t sector : chain) {
            auto s = Sector(sector);
            for (uint32_t i = 0; i < perSector; ++i) {
                l_.entries.push_back(Entry(s.subspan(i * kDirEntrySize, kDirEntrySize)));
            }
        }
        const DirEntry& root = l_.entries[0];
        return root.type == kTypeRoot && !nameTooLong_;
    }

    DirEntry Entry(std::span<const uint8_t> e) {
        DirEntry d;
        d.type = e[66];
        const uint16_t nameBytes = U16(e, 64);
        if (d.type != kTypeUnused && nameBytes > 64) nameTooLong_ = true;
        const size_t chars = std::min<size_t>(nameBytes / 2, 32);
        for (size_t i = 0; i < chars; ++i) {
            const char16_t c = static_cast<char16_t>(U16(e, 2 * i));
            if (c == 0) break;
            d.name.push_back(c);
        }
        d.left = U32(e, 68);
        d.right = U32(e, 72);
        d.child = U32(e, 76);
        uint8_t id[16];
        std::memcpy(id, e.data() + 80, 16);
        d.clsid = GuidFromBytes(id);
        d.start = U32(e, 116);
        d.size = major_ == 3 ? U32(e, 120) : U64(e, 120);
        return d;
    }

    // Every entry reachable from the root is a stream or a storage, met once,
    // with links in range, and the walk stays shallow.
    bool Tree() {
        const size_t count = l_.entries.size();
        std::vector<bool> seen(count, false);
        seen[0] = true;
        struct Item {
            uint32_t index;
            size_t depth;
        };
        std::vector<Item> pending;
        if (l_.entries[0].child != kNoStream) pending.push_back({l_.entries[0].child, 1});
        while (!pending.empty()) {
            const Item item = pending.back();
            pending.pop_back();
            if (item.index >= count || seen[item.index] || item.depth > kMaxTreeDepth) {
                return false;
            }
            seen[item.index] = true;
            const DirEntry& e = l_.entries[item.index];
            if (e.type != kTypeStream && e.type != kTypeStorage) return false;
            for (uint32_t link : {e.left, e.right}) {
                if (link != kNoStream) pending.push_back({link, item.depth + 1});
            }
            if (e.child != kNoStream) {
                if (e.type != kTypeStorage) return false;
                pending.push_back({e.child, item.depth + 1});
            }
        }
        return true;
    }

    bool MiniStream() {
        const DirEntry& root = l_.entries[0];
        l_.miniFat.clear();
        l_.miniSectorCount = 0;
        std::vector<uint32_t> chain;
        if (miniFatCount_ != 0 || firstMiniFat_ != kEndOfChain) {
            if (!WalkChain(l_.fat, firstMiniFat_, l_.sectorCount, &chain)) return false;
            for (uint32_t sector : chain) {
                auto s = Sector(sector);
                for (uint32_t i = 0; i < l_.sectorSize / 4; ++i)
                    l_.miniFat.push_back(U32(s, 4 * i));
            }
        }
        if (root.size == 0) return true;
        if (!WalkChain(l_.fat, root.start, l_.sectorCount, &chain)) return false;
        const uint64_t needed = (root.size + l_.sectorSize - 1) / l_.sectorSize;
        if (chain.size() < needed) return false;
        l_.miniSectorCount = static_cast<uint32_t>(
            std::min<uint64_t>(root.size / l_.miniSectorSize, kMaxRegularSector));
        return true;
    }

    std::span<const uint8_t> b_;
    Layout& l_;
    uint16_t major_ = 3;
    uint32_t fatCount_ = 0, firstDir_ = 0, firstMiniFat_ = 0, miniFatCount_ = 0;
    uint32_t firstDifat_ = 0, difatCount_ = 0;
    bool nameTooLong_ = false;
};

}  // namespace

HRESULT CheckFile(std::span<const uint8_t> bytes, Layout* out) {
    Layout layout;
    HRESULT hr = Parser(bytes, &layout).Run();
    if (SUCCEEDED(hr)) *out = std::move(layout);
    return hr;
}

HRESULT CheckStream(const Layout& layout, uint32_t entryIndex) {
    if (entryIndex >= layout.entries.size()) return STG_E_DOCFILECORRUPT;
    const DirEntry& e = layout.entries[entryIndex];
    if (e.type != kTypeStream) return STG_E_DOCFILECORRUPT;
    if (e.size == 0) return S_OK;
    std::vector<uint32_t> chain;
    uint64_t unit = layout.sectorSize;
    bool ok;
    if (e.size < layout.miniCutoff) {
        unit = layout.miniSectorSize;
        ok = WalkChain(layout.miniFat, e.start, layout.miniSectorCount, &chain);
    } else {
        ok = WalkChain(layout.fat, e.start, layout.sectorCount, &chain);
    }
    if (!ok || chain.size() < (e.size + unit - 1) / unit) return STG_E_DOCFILECORRUPT;
    return S_OK;
}

std::vector<uint32_t> ChildrenOf(const Layout& layout, uint32_t storageIndex) {
    std::vector<uint32_t> out;
    if (storageIndex >= layout.entries.size()) return out;
    // In-order walk of the sibling tree; the tree was checked to be finite.
    std::vector<uint32_t> stack;
    uint32_t node = layout.entries[storageIndex].child;
    while (node != kNoStream || !stack.empty()) {
        while (node != kNoStream && node < layout.entries.size()) {
            stack.push_back(node);
            node = layout.entries[node].left;
        }
        if (stack.empty()) break;
        node = stack.back();
        stack.pop_back();
        out.push_back(node);
        node = layout.entries[node].right;
    }
    return out;
}

}  // namespace mv::cfb
