// Helpers of the compound-file tests: a scratch folder, whole-file reads and
// writes, and a compound file built byte by byte without libgsf.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "storage.h"

namespace storage_test {

using Bytes = std::vector<uint8_t>;

inline Bytes Pattern(size_t size, uint8_t seed) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return out;
}

inline Bytes ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline std::u16string Wide(const std::filesystem::path& path) {
    return mv::ToUtf16(path.string());
}

// A fresh, empty folder per test, removed afterwards.
class ScratchFolder {
public:
    ScratchFolder() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "." + info->name();
        std::replace(name.begin(), name.end(), '/', '_');
        path_ = std::filesystem::temp_directory_path() /
                ("mv-storage-" + std::to_string(::getpid()) + "-" + name);
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    std::vector<std::string> Names() const {
        std::vector<std::string> out;
        for (const auto& entry : std::filesystem::directory_iterator(path_))
            out.push_back(entry.path().filename().string());
        return out;
    }

private:
    std::filesystem::path path_;
};

// A storage diagnostic hook that keeps each line in a
// std::vector<std::string> given as its context.
inline void CollectDiagnostic(const char* text, void* context) {
    static_cast<std::vector<std::string>*>(context)->push_back(text);
}

inline HRESULT OpenDocument(const std::filesystem::path& path, IStorage** storage) {
    return StgOpenStorage(Wide(path).c_str(), nullptr, 0x10, nullptr, 0, storage);
}

// A new document with its stream "C" created for writing, in the module's
// modes; or an existing document with "C" opened for reading.
inline HRESULT CreateWithStream(const std::filesystem::path& path, IStorage** storage,
                                IStream** stream) {
    HRESULT hr = StgCreateDocfile(Wide(path).c_str(), 0x1012, 0, storage);
    return FAILED(hr) ? hr : (*storage)->CreateStream(u"C", 0x12, 0, 0, stream);
}
inline HRESULT OpenWithStream(const std::filesystem::path& path, IStorage** storage,
                              IStream** stream) {
    HRESULT hr = OpenDocument(path, storage);
    return FAILED(hr) ? hr : (*storage)->OpenStream(u"C", nullptr, 0x10, 0, stream);
}

// Writes a document with the given streams through our layer.
inline HRESULT SaveDocument(const std::filesystem::path& path,
                            const std::vector<std::pair<std::u16string, Bytes>>& streams) {
    IStorage* storage = nullptr;
    HRESULT hr = StgCreateDocfile(Wide(path).c_str(), 0x1012, 0, &storage);
    if (FAILED(hr)) return hr;
    for (const auto& [name, bytes] : streams) {
        IStream* stream = nullptr;
        hr = storage->CreateStream(name.c_str(), 0x12, 0, 0, &stream);
        if (SUCCEEDED(hr)) {
            hr = stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
            stream->Release();
        }
        if (FAILED(hr)) break;
    }
    hr = SUCCEEDED(hr) ? storage->Commit(STGC_DEFAULT) : (mv::StgAbandon(storage), hr);
    storage->Release();
    return hr;
}

// Reads one stream of a document through our layer.
inline HRESULT LoadStream(const std::filesystem::path& path, const std::u16string& name,
                          Bytes* out) {
    out->clear();
    IStorage* storage = nullptr;
    HRESULT hr = OpenDocument(path, &storage);
    if (FAILED(hr)) return hr;
    IStream* stream = nullptr;
    hr = storage->OpenStream(name.c_str(), nullptr, 0x10, 0, &stream);
    uint8_t buffer[777];
    for (ULONG got = 1; SUCCEEDED(hr) && got > 0;) {
        hr = stream->Read(buffer, sizeof buffer, &got);
        if (SUCCEEDED(hr)) out->insert(out->end(), buffer, buffer + got);
    }
    if (stream) stream->Release();
    storage->Release();
    return hr;
}

// A version 3 compound file with 512-byte sectors, made by hand:
//   sector 0 FAT, 1 directory, 2 mini FAT, 3 mini stream, 4..13 "Big".
//   entry 0 root, 1 "Small" (100 bytes in mini sectors 0-1), 2 "Big" (5000
//   bytes), "Big" hangs left of "Small".
// The offsets below let tests damage one field at a time.
struct HandMadeFile {
    static constexpr size_t kSector = 512;
    static size_t SectorOffset(uint32_t sector) { return (sector + 1) * kSector; }
    static size_t FatEntry(uint32_t index) { return SectorOffset(0) + 4 * index; }
    static size_t DirEntry(uint32_t index) { return SectorOffset(1) + 128 * index; }
    static size_t MiniFatEntry(uint32_t index) { return SectorOffset(2) + 4 * index; }
    static constexpr size_t kDirLeft = 68, kDirRight = 72, kDirChild = 76, kDirStart = 116,
                            kDirSize = 120;

    Bytes small = Pattern(100, 3);
    Bytes big = Pattern(5000, 11);

    static void Put16(Bytes& b, size_t at, uint16_t v) {
        b[at] = static_cast<uint8_t>(v);
        b[at + 1] = static_cast<uint8_t>(v >> 8);
    }
    static void Put32(Bytes& b, size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }

    Bytes Build() const {
        Bytes b(SectorOffset(14), 0);
        const uint8_t signature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
        std::copy(signature, signature + 8, b.begin());
        Put16(b, 24, 0x3E);        // minor version
        Put16(b, 26, 3);           // major version
        Put16(b, 28, 0xFFFE);      // byte order
        Put16(b, 30, 9);           // sector shift
        Put16(b, 32, 6);           // mini sector shift
        Put32(b, 44, 1);           // FAT sectors
        Put32(b, 48, 1);           // first directory sector
        Put32(b, 56, 4096);        // mini stream cutoff
        Put32(b, 60, 2);           // first mini FAT sector
        Put32(b, 64, 1);           // mini FAT sectors
        Put32(b, 68, 0xFFFFFFFE);  // first DIFAT sector
        Put32(b, 72, 0);           // DIFAT sectors
        for (int i = 0; i < 109; ++i) Put32(b, 76 + 4 * i, 0xFFFFFFFF);
        Put32(b, 76, 0);  // the FAT lives in sector 0

        for (uint32_t i = 0; i < 128; ++i) Put32(b, FatEntry(i), 0xFFFFFFFF);
        Put32(b, FatEntry(0), 0xFFFFFFFD);
        Put32(b, FatEntry(1), 0xFFFFFFFE);
        Put32(b, FatEntry(2), 0xFFFFFFFE);
        Put32(b, FatEntry(3), 0xFFFFFFFE);
        for (uint32_t s = 4; s < 13; ++s) Put32(b, FatEntry(s), s + 1);
        Put32(b, FatEntry(13), 0xFFFFFFFE);

        for (uint32_t i = 0; i < 128; ++i) Put32(b, MiniFatEntry(i), 0xFFFFFFFF);
        Put32(b, MiniFatEntry(0), 1);
        Put32(b, MiniFatEntry(1), 0xFFFFFFFE);

        Entry(b, 0, u"Root Entry", 5, 0xFFFFFFFF, 0xFFFFFFFF, 1, 3, 128);
        Entry(b, 1, u"Small", 2, 2, 0xFFFFFFFF, 0xFFFFFFFF, 0, 100);
        Entry(b, 2, u"Big", 2, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 4, 5000);
        for (size_t link : {kDirLeft, kDirRight, kDirChild}) Put32(b, DirEntry(3) + link, ~0u);

        std::copy(small.begin(), small.end(), b.begin() + SectorOffset(3));
        std::copy(big.begin(), big.end(), b.begin() + SectorOffset(4));
        return b;
    }

    static void Entry(Bytes& b, uint32_t index, std::u16string_view name, uint8_t type,
                      uint32_t left, uint32_t right, uint32_t child, uint32_t start,
                      uint32_t size) {
        const size_t at = DirEntry(index);
        for (size_t i = 0; i < name.size(); ++i) Put16(b, at + 2 * i, name[i]);
        Put16(b, at + 64, static_cast<uint16_t>(2 * (name.size() + 1)));
        b[at + 66] = type;
        b[at + 67] = 1;  // black
        Put32(b, at + kDirLeft, left);
        Put32(b, at + kDirRight, right);
        Put32(b, at + kDirChild, child);
        Put32(b, at + kDirStart, start);
        Put32(b, at + kDirSize, size);
    }
};

}  // namespace storage_test
