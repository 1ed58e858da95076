// Failed saves and damaged files.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "storage.h"
#include "storage_test_util.h"

using namespace storage_test;

namespace {

using H = HandMadeFile;

struct FailedSaveCase {
    const char* label;
    bool existing;      // a document is saved over, else a new one is made
    int64_t failAfter;  // bytes accepted before writes fail; negative: none fail
    bool abandon;
    bool commit;
    // Named by its label in the test list, not shown as raw bytes.
    friend void PrintTo(const FailedSaveCase& c, std::ostream* os) { *os << c.label; }
};

class FailedSave : public ::testing::TestWithParam<FailedSaveCase> {
protected:
    void TearDown() override { mv::SetStorageWriteFailureAfter(-1); }
};

TEST_P(FailedSave, LeavesThePreviousDocumentAndNoTemporaryFile) {
    const auto& c = GetParam();
    ScratchFolder folder;
    const auto path = folder / "doc.mvc";
    if (c.existing) {
        ASSERT_EQ(SaveDocument(path, {{u"C", Pattern(3000, 1)}}), S_OK);
    }
    const Bytes before = ReadFile(path);

    IStorage* storage = nullptr;
    IStream* stream = nullptr;
    ASSERT_EQ(CreateWithStream(path, &storage, &stream), S_OK);
    mv::SetStorageWriteFailureAfter(c.failAfter);
    const Bytes chunk = Pattern(1000, 2);
    HRESULT firstFailure = S_OK;
    for (int i = 0; i < 8 && SUCCEEDED(firstFailure); ++i) {
        firstFailure = stream->Write(chunk.data(), 1000, nullptr);
    }
    if (c.failAfter >= 0) {
        EXPECT_EQ(firstFailure, STG_E_MEDIUMFULL);
        // The document stays failed even once the medium has room again.
        mv::SetStorageWriteFailureAfter(-1);
        EXPECT_EQ(stream->Write("x", 1, nullptr), STG_E_MEDIUMFULL);
    } else {
        EXPECT_EQ(firstFailure, S_OK);
    }
    if (c.abandon) {
        EXPECT_EQ(mv::StgAbandon(storage), S_OK);
        EXPECT_EQ(stream->Write("d", 1, nullptr), STG_E_REVERTED);
    }
    stream->Release();
    if (c.commit) {
        EXPECT_NE(storage->Commit(STGC_DEFAULT), S_OK);
    }
    storage->Release();

    EXPECT_EQ(folder.Names().size(), c.existing ? 1u : 0u);
    if (!c.existing) return;
    EXPECT_EQ(ReadFile(path), before);
    ASSERT_EQ(OpenDocument(path, &storage), S_OK);
    storage->Release();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailedSave,
    ::testing::Values(FailedSaveCase{"write_fails_then_abandon", true, 2500, true, false},
                      FailedSaveCase{"write_fails_then_release", true, 2500, false, false},
                      FailedSaveCase{"write_fails_then_commit", true, 2500, false, true},
                      FailedSaveCase{"first_write_fails_then_abandon", true, 0, true, false},
                      FailedSaveCase{"caller_abandons_a_whole_save", true, -1, true, false},
                      FailedSaveCase{"caller_abandons_then_commits", true, -1, true, true},
                      FailedSaveCase{"new_document_abandoned", false, -1, true, false},
                      FailedSaveCase{"new_document_fails_then_release", false, 100, false, false}),
    [](const auto& info) { return std::string(info.param.label); });

// The flush that ends a save meets the file system's error: the save answers
// its cause, whether it was committed or finally released, and leaves the
// previous document and no temporary.
struct FlushFailureCase {
    const char* label;
    int error;
    HRESULT expected;
    // Named by its label in the test list, not shown as raw bytes.
    friend void PrintTo(const FlushFailureCase& c, std::ostream* os) { *os << c.label; }
};

class FailedFlush : public ::testing::TestWithParam<FlushFailureCase> {
protected:
    void TearDown() override { mv::SetStorageFlushFailure(0); }
};

TEST_P(FailedFlush, AnswersTheCauseAndKeepsThePreviousDocument) {
    const auto& c = GetParam();
    ScratchFolder folder;
    const auto path = folder / "doc.mvc";
    ASSERT_EQ(SaveDocument(path, {{u"C", Pattern(3000, 1)}}), S_OK);
    const Bytes before = ReadFile(path);
    char code[16];
    std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(c.expected));
    for (const bool commit : {true, false}) {
        SCOPED_TRACE(commit ? "committed" : "released");
        IStorage* storage = nullptr;
        IStream* stream = nullptr;
        ASSERT_EQ(CreateWithStream(path, &storage, &stream), S_OK);
        const Bytes data = Pattern(9000, 2);
        EXPECT_EQ(stream->Write(data.data(), static_cast<ULONG>(data.size()), nullptr), S_OK);
        stream->Release();
        std::vector<std::string> seen;
        mv::SetStorageDiagnosticHook(CollectDiagnostic, &seen);
        mv::SetStorageFlushFailure(c.error);
        if (commit) {
            EXPECT_EQ(storage->Commit(STGC_DEFAULT), c.expected);
        }
        storage->Release();
        mv::SetStorageFlushFailure(0);
        mv::SetStorageDiagnosticHook(nullptr, nullptr);
        if (!commit) {
            ASSERT_EQ(seen.size(), 1u);
            EXPECT_NE(seen[0].find(std::string("error ") + code), std::string::npos) << seen[0];
        }
        EXPECT_EQ(folder.Names(), std::vector<std::string>{"doc.mvc"});
        EXPECT_EQ(ReadFile(path), before);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailedFlush,
    ::testing::Values(FlushFailureCase{"disk_full", ENOSPC, STG_E_MEDIUMFULL},
                      FlushFailureCase{"quota_exceeded", EDQUOT, STG_E_MEDIUMFULL},
                      FlushFailureCase{"input_output_error", EIO, STG_E_WRITEFAULT},
                      FlushFailureCase{"unexpected_error", EINVAL, STG_E_WRITEFAULT},
                      FlushFailureCase{"read_only_file_system", EROFS, STG_E_DISKISWRITEPROTECTED}),
    [](const auto& info) { return std::string(info.param.label); });

constexpr HRESULT kNotCompound = STG_E_FILEALREADYEXISTS, kBadHeader = STG_E_INVALIDHEADER,
                  kCorrupt = STG_E_DOCFILECORRUPT;

// One damage to the hand-made file: `width` bytes (little-endian) of `value`
// at `at`, or with width 0 the file cut to `at` bytes; where it shows, and
// with which code.
struct DamageCase {
    const char* label;
    size_t at;
    int width;
    uint32_t value;
    HRESULT atOpen;          // StgOpenStorage
    HRESULT atSmall = S_OK;  // OpenStream "Small" when the open succeeded
    HRESULT atBig = S_OK;    // OpenStream "Big" when the open succeeded
    // Named by its label in the test list, not shown as raw bytes.
    friend void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.label; }
};

const DamageCase kDamage[] = {
    {"intact", 0, 1, 0xD0, S_OK},  // read back whole, though libgsf did not write it
    {"zero_length", 0, 0, 0, kNotCompound},
    {"bad_signature", 3, 1, 0x1F, kNotCompound},
    {"511_bytes", 511, 0, 0, kBadHeader},
    {"header_only", 512, 0, 0, kCorrupt},
    {"byte_order", 28, 2, 0xFEFF, kBadHeader},
    {"sector_shift", 30, 2, 10, kBadHeader},
    {"version_4_with_small_sectors", 26, 2, 4, kBadHeader},
    {"mini_cutoff", 56, 4, 512, kBadHeader},
    {"no_fat_sectors", 44, 4, 0, kCorrupt},
    {"huge_fat_count", 44, 4, 0x7FFFFFFF, kCorrupt},
    {"fat_sector_out_of_range", 76, 4, 1000, kCorrupt},
    {"directory_out_of_range", 48, 4, 5000, kCorrupt},
    {"directory_chain_loop", H::FatEntry(1), 4, 1, kCorrupt},
    {"root_is_not_root", H::DirEntry(0) + 66, 1, 1, kCorrupt},
    {"child_entry_out_of_range", H::DirEntry(0) + H::kDirChild, 4, 50, kCorrupt},
    {"sibling_entry_out_of_range", H::DirEntry(1) + H::kDirRight, 4, 0x7FFFFFF0, kCorrupt},
    {"directory_tree_loop", H::DirEntry(2) + H::kDirLeft, 4, 1, kCorrupt},
    {"tree_reaches_unused_entry", H::DirEntry(2) + H::kDirRight, 4, 3, kCorrupt},
    {"name_length_too_long", H::DirEntry(1) + 64, 2, 200, kCorrupt},
    {"mini_stream_out_of_range", H::DirEntry(0) + H::kDirStart, 4, 900, kCorrupt},
    {"mini_fat_chain_loop", H::FatEntry(2), 4, 2, kCorrupt},
    // The reader itself refuses a table entry beyond the file at the open.
    {"big_chain_out_of_range", H::FatEntry(8), 4, 500, kCorrupt},
    {"big_chain_loop", H::FatEntry(13), 4, 4, S_OK, S_OK, kCorrupt},
    {"big_chain_too_short", H::FatEntry(6), 4, 0xFFFFFFFE, S_OK, S_OK, kCorrupt},
    {"big_chain_through_free_sector", H::FatEntry(9), 4, 0xFFFFFFFF, S_OK, S_OK, kCorrupt},
    {"big_start_out_of_range", H::DirEntry(2) + H::kDirStart, 4, 77, S_OK, S_OK, kCorrupt},
    {"truncated_inside_big", H::SectorOffset(9), 0, 0, S_OK, S_OK, kCorrupt},
    {"small_chain_loop", H::MiniFatEntry(1), 4, 0, S_OK, kCorrupt},
    {"small_start_beyond_mini_stream", H::DirEntry(1) + H::kDirStart, 4, 7, S_OK, kCorrupt},
    {"small_size_beyond_chain", H::DirEntry(1) + H::kDirSize, 4, 1000, S_OK, kCorrupt},
};

class Damaged : public ::testing::TestWithParam<DamageCase> {};

TEST_P(Damaged, FailsWithAStorageCodeAtTheOpenOrAtTheDamagedStream) {
    const auto& c = GetParam();
    ScratchFolder folder;
    HandMadeFile made;
    Bytes file = made.Build();
    if (c.width == 0) file.resize(c.at);
    for (int i = 0; i < c.width; ++i) file[c.at + i] = static_cast<uint8_t>(c.value >> (8 * i));
    const auto path = folder / "damaged.mvc";
    WriteFile(path, file);

    IStorage* storage = nullptr;
    ASSERT_EQ(OpenDocument(path, &storage), c.atOpen);
    if (FAILED(c.atOpen)) {
        EXPECT_EQ(storage, nullptr);
        return;
    }
    storage->Release();
    Bytes back;
    EXPECT_EQ(LoadStream(path, u"Small", &back), c.atSmall);
    EXPECT_EQ(back, c.atSmall == S_OK ? made.small : Bytes{});
    EXPECT_EQ(LoadStream(path, u"Big", &back), c.atBig);
    EXPECT_EQ(back, c.atBig == S_OK ? made.big : Bytes{});
}

INSTANTIATE_TEST_SUITE_P(Cases, Damaged, ::testing::ValuesIn(kDamage),
                         [](const auto& info) { return std::string(info.param.label); });

bool IsStorageCode(HRESULT hr) {
    return hr == S_OK || (FAILED(hr) && HRESULT_FACILITY(hr) == FACILITY_STORAGE);
}

// Reads everything a mutated file offers; the outcome does not matter, only
// that every answer is a storage code and nothing crashes or hangs. Tells
// whether the file opened.
bool Exercise(const std::filesystem::path& path) {
    IStorage* storage = nullptr;
    const HRESULT opened = OpenDocument(path, &storage);
    EXPECT_TRUE(IsStorageCode(opened)) << std::hex << opened;
    if (FAILED(opened)) return false;
    storage->Release();
    Bytes back;
    for (const char16_t* name : {u"Small", u"Big", u"C"}) {
        const HRESULT hr = LoadStream(path, name, &back);
        EXPECT_TRUE(IsStorageCode(hr)) << std::hex << hr;
    }
    return true;
}

void CountDiagnostic(const char*, void* context) {
    ++*static_cast<int*>(context);
}

TEST(Fuzz, MutatedFilesNeverCrashOrHang) {
    ScratchFolder folder;
    int warnings = 0;  // the reader's complaints about damaged tables
    mv::SetStorageDiagnosticHook(CountDiagnostic, &warnings);
    const auto written = folder / "written.mvc";
    ASSERT_EQ(SaveDocument(written, {{u"C", Pattern(5000, 8)}}), S_OK);
    const Bytes bases[] = {HandMadeFile().Build(), ReadFile(written)};
    // Header, first FAT sector and the directory: the places that steer the
    // reader. Mutations stay inside the first four sectors of each base.
    std::mt19937 random(20240611);
    const auto path = folder / "mutated.mvc";
    int opened = 0;
    for (int round = 0; round < 400; ++round) {
        Bytes file = bases[round % 2];
        const size_t limit = std::min<size_t>(file.size(), 4 * 512);
        const int flips = 1 + static_cast<int>(random() % 8);
        for (int i = 0; i < flips; ++i) {
            const size_t at = random() % limit;
            file[at] =
                static_cast<uint8_t>(random() % 3 == 0 ? 0xFF : file[at] ^ (1u << (random() % 8)));
        }
        if (round % 50 == 49) file.resize(random() % file.size());
        WriteFile(path, file);
        SCOPED_TRACE("round " + std::to_string(round));
        opened += Exercise(path);
    }
    // Many mutations hit bytes that do not matter: the reader still opens
    // those, so the run reaches the stream code too.
    EXPECT_GT(opened, 20);
    mv::SetStorageDiagnosticHook(nullptr, nullptr);
}

}  // namespace
