// Structural check of a compound file held in memory: header, sector
// allocation tables, directory, mini stream. The reader underneath accepts
// some damaged files and only fails (or misbehaves) when a damaged stream is
// read, so every file is checked here first and every stream's sector chain
// when the stream is opened.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base.h"

namespace mv::cfb {

constexpr uint32_t kNoStream = 0xFFFFFFFF;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kFreeSector = 0xFFFFFFFF;
constexpr uint32_t kFatSector = 0xFFFFFFFD;
constexpr uint32_t kDifatSector = 0xFFFFFFFC;

constexpr uint8_t kTypeUnused = 0;
constexpr uint8_t kTypeStorage = 1;
constexpr uint8_t kTypeStream = 2;
constexpr uint8_t kTypeRoot = 5;

struct DirEntry {
    std::u16string name;
    uint8_t type = kTypeUnused;
    uint32_t left = kNoStream;
    uint32_t right = kNoStream;
    uint32_t child = kNoStream;
    CLSID clsid = GUID_NULL;
    uint32_t start = kEndOfChain;
    uint64_t size = 0;
};

// A checked file. Holds no reference to the bytes it was made from.
struct Layout {
    uint32_t sectorSize = 512;
    uint32_t miniSectorSize = 64;
    uint32_t miniCutoff = 4096;
    uint32_t sectorCount = 0;       // whole sectors after the header
    std::vector<uint32_t> fat;      // one entry per sector
    std::vector<uint32_t> miniFat;  // one entry per mini sector
    uint32_t miniSectorCount = 0;   // mini sectors that the mini stream holds
    std::vector<DirEntry> entries;  // index 0 is the root
};

// Checks the file as a whole. S_OK fills `out`; a file that does not begin
// with the compound-file signature gives STG_E_FILEALREADYEXISTS, a bad or
// short header STG_E_INVALIDHEADER, damaged tables or directory
// STG_E_DOCFILECORRUPT.
HRESULT CheckFile(std::span<const uint8_t> bytes, Layout* out);

// Checks the sector chain of one stream entry of a checked file: every
// sector in range, no loop, long enough for the stream's size.
// STG_E_DOCFILECORRUPT when not.
HRESULT CheckStream(const Layout& layout, uint32_t entryIndex);

// The entries directly under a storage entry (root: 0), in tree order.
std::vector<uint32_t> ChildrenOf(const Layout& layout, uint32_t storageIndex);

}  // namespace mv::cfb
