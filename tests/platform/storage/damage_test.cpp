// Failed saves and damaged files.
#include <gtest/gtest.h>

#include <random>

#include "storage.h"
#include "storage_test_util.h"

using namespace storage_test;

namespace {

using H = HandMadeFile;

struct FailedSaveCase {
    const char* label;
    int64_t failAfter;  // bytes accepted before writes fail; negative: none fail
    bool abandon;
    bool commit;
};

class FailedSave : public ::testing::TestWithParam<FailedSaveCase> {
protected:
    void TearDown() override { mv::SetStorageWriteFailureAfter(-1); }
};

TEST_P(FailedSave, LeavesThePreviousDocumentAndNoTemporaryFile) {
    const auto& c = GetParam();
    ScratchFolder folder;
    const auto path = folder / "doc.mvc";
    ASSERT_EQ(SaveDocument(path, {{u"C", Pattern(3000, 1)}}), S_OK);
    const Bytes before = ReadFile(path);

    IStorage* storage = nullptr;
    ASSERT_EQ(StgCreateDocfile(Wide(path).c_str(), 0x1012, 0, &storage), S_OK);
    IStream* stream = nullptr;
    ASSERT_EQ(storage->CreateStream(u"C", 0x12, 0, 0, &stream), S_OK);
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
    }
    stream->Release();
    if (c.commit) {
        EXPECT_NE(storage->Commit(STGC_DEFAULT), S_OK);
    }
    storage->Release();

    EXPECT_EQ(ReadFile(path), before);
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"doc.mvc"});
    IStorage* again = nullptr;
    ASSERT_EQ(StgOpenStorage(Wide(path).c_str(), nullptr, 0x10, nullptr, 0, &again), S_OK);
    again->Release();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailedSave,
    ::testing::Values(FailedSaveCase{"write_fails_then_abandon", 2500, true, false},
                      FailedSaveCase{"write_fails_then_release", 2500, false, false},
                      FailedSaveCase{"write_fails_then_commit", 2500, false, true},
                      FailedSaveCase{"first_write_fails_then_abandon", 0, true, false},
                      FailedSaveCase{"caller_abandons_a_whole_save", -1, true, false},
                      FailedSaveCase{"caller_abandons_then_commits", -1, true, true}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(FailedSaveOfNewDocument, LeavesNoFileAtAll) {
    ScratchFolder folder;
    IStorage* storage = nullptr;
    ASSERT_EQ(StgCreateDocfile(Wide(folder / "new.mvc").c_str(), 0x1012, 0, &storage), S_OK);
    IStream* stream = nullptr;
    ASSERT_EQ(storage->CreateStream(u"C", 0x12, 0, 0, &stream), S_OK);
    ASSERT_EQ(stream->Write("abc", 3, nullptr), S_OK);
    EXPECT_EQ(mv::StgAbandon(storage), S_OK);
    EXPECT_EQ(stream->Write("d", 1, nullptr), STG_E_REVERTED);
    stream->Release();
    storage->Release();
    EXPECT_TRUE(folder.Names().empty());
}

// One damage to the hand-made file: where it shows, and with which code.
struct DamageCase {
    const char* label;
    void (*damage)(Bytes& file);
    HRESULT atOpen;          // StgOpenStorage
    HRESULT atSmall = S_OK;  // OpenStream "Small" when the open succeeded
    HRESULT atBig = S_OK;    // OpenStream "Big" when the open succeeded
};

const DamageCase kDamage[] = {
    {"intact", [](Bytes&) {}, S_OK, S_OK, S_OK},
    {"zero_length", [](Bytes& f) { f.clear(); }, STG_E_FILEALREADYEXISTS},
    {"text_file",
     [](Bytes& f) {
         f.assign({'a', 'b', 'c', '\n'});
     },
     STG_E_FILEALREADYEXISTS},
    {"bad_signature", [](Bytes& f) { f[3] ^= 0xFF; }, STG_E_FILEALREADYEXISTS},
    {"511_bytes", [](Bytes& f) { f.resize(511); }, STG_E_INVALIDHEADER},
    {"header_only", [](Bytes& f) { f.resize(512); }, STG_E_DOCFILECORRUPT},
    {"byte_order", [](Bytes& f) { H::Put16(f, 28, 0xFEFF); }, STG_E_INVALIDHEADER},
    {"sector_shift", [](Bytes& f) { H::Put16(f, 30, 10); }, STG_E_INVALIDHEADER},
    {"version_4_with_small_sectors", [](Bytes& f) { H::Put16(f, 26, 4); }, STG_E_INVALIDHEADER},
    {"mini_cutoff", [](Bytes& f) { H::Put32(f, 56, 512); }, STG_E_INVALIDHEADER},
    {"no_fat_sectors", [](Bytes& f) { H::Put32(f, 44, 0); }, STG_E_DOCFILECORRUPT},
    {"huge_fat_count", [](Bytes& f) { H::Put32(f, 44, 0x7FFFFFFF); }, STG_E_DOCFILECORRUPT},
    {"fat_sector_out_of_range", [](Bytes& f) { H::Put32(f, 76, 1000); }, STG_E_DOCFILECORRUPT},
    {"directory_out_of_range", [](Bytes& f) { H::Put32(f, 48, 5000); }, STG_E_DOCFILECORRUPT},
    {"directory_chain_loop", [](Bytes& f) { H::Put32(f, H::FatEntry(1), 1); },
     STG_E_DOCFILECORRUPT},
    {"root_is_not_root", [](Bytes& f) { f[H::DirEntry(0) + 66] = 1; }, STG_E_DOCFILECORRUPT},
    {"child_entry_out_of_range", [](Bytes& f) { H::Put32(f, H::DirEntry(0) + H::kDirChild, 50); },
     STG_E_DOCFILECORRUPT},
    {"sibling_entry_out_of_range",
     [](Bytes& f) { H::Put32(f, H::DirEntry(1) + H::kDirRight, 0x7FFFFFF0); },
     STG_E_DOCFILECORRUPT},
    {"directory_tree_loop", [](Bytes& f) { H::Put32(f, H::DirEntry(2) + H::kDirLeft, 1); },
     STG_E_DOCFILECORRUPT},
    {"tree_reaches_unused_entry", [](Bytes& f) { H::Put32(f, H::DirEntry(2) + H::kDirRight, 3); },
     STG_E_DOCFILECORRUPT},
    {"name_length_too_long", [](Bytes& f) { H::Put16(f, H::DirEntry(1) + 64, 200); },
     STG_E_DOCFILECORRUPT},
    {"mini_stream_out_of_range", [](Bytes& f) { H::Put32(f, H::DirEntry(0) + H::kDirStart, 900); },
     STG_E_DOCFILECORRUPT},
    {"mini_fat_chain_loop", [](Bytes& f) { H::Put32(f, H::FatEntry(2), 2); }, STG_E_DOCFILECORRUPT},
    {"big_chain_loop", [](Bytes& f) { H::Put32(f, H::FatEntry(13), 4); }, S_OK, S_OK,
     STG_E_DOCFILECORRUPT},
    // The reader itself refuses a table entry beyond the file at the open.
    {"big_chain_out_of_range", [](Bytes& f) { H::Put32(f, H::FatEntry(8), 500); },
     STG_E_DOCFILECORRUPT},
    {"big_chain_too_short", [](Bytes& f) { H::Put32(f, H::FatEntry(6), 0xFFFFFFFE); }, S_OK, S_OK,
     STG_E_DOCFILECORRUPT},
    {"big_chain_through_free_sector", [](Bytes& f) { H::Put32(f, H::FatEntry(9), 0xFFFFFFFF); },
     S_OK, S_OK, STG_E_DOCFILECORRUPT},
    {"big_start_out_of_range", [](Bytes& f) { H::Put32(f, H::DirEntry(2) + H::kDirStart, 77); },
     S_OK, S_OK, STG_E_DOCFILECORRUPT},
    {"truncated_inside_big", [](Bytes& f) { f.resize(H::SectorOffset(9)); }, S_OK, S_OK,
     STG_E_DOCFILECORRUPT},
    {"small_chain_loop", [](Bytes& f) { H::Put32(f, H::MiniFatEntry(1), 0); }, S_OK,
     STG_E_DOCFILECORRUPT, S_OK},
    {"small_start_beyond_mini_stream",
     [](Bytes& f) { H::Put32(f, H::DirEntry(1) + H::kDirStart, 7); }, S_OK, STG_E_DOCFILECORRUPT,
     S_OK},
    {"small_size_beyond_chain", [](Bytes& f) { H::Put32(f, H::DirEntry(1) + H::kDirSize, 1000); },
     S_OK, STG_E_DOCFILECORRUPT, S_OK},
};

class Damaged : public ::testing::TestWithParam<DamageCase> {};

TEST_P(Damaged, FailsWithAStorageCodeAtTheOpenOrAtTheDamagedStream) {
    const auto& c = GetParam();
    ScratchFolder folder;
    HandMadeFile made;
    Bytes file = made.Build();
    c.damage(file);
    const auto path = folder / "damaged.mvc";
    WriteFile(path, file);

    IStorage* storage = nullptr;
    ASSERT_EQ(StgOpenStorage(Wide(path).c_str(), nullptr, 0x10, nullptr, 0, &storage), c.atOpen);
    if (FAILED(c.atOpen)) {
        EXPECT_EQ(storage, nullptr);
        return;
    }
    const std::pair<const char16_t*, HRESULT> streams[] = {{u"Small", c.atSmall},
                                                           {u"Big", c.atBig}};
    for (const auto& [name, expected] : streams) {
        IStream* stream = nullptr;
        EXPECT_EQ(storage->OpenStream(name, nullptr, 0x10, 0, &stream), expected)
            << mv::ToUtf8(name);
        if (!stream) continue;
        STATSTG stat{};
        ASSERT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
        Bytes back(stat.cbSize.QuadPart);
        ULONG got = 0;
        EXPECT_EQ(stream->Read(back.data(), static_cast<ULONG>(back.size()), &got), S_OK);
        EXPECT_EQ(back, name == std::u16string(u"Big") ? made.big : made.small);
        stream->Release();
    }
    storage->Release();
}

INSTANTIATE_TEST_SUITE_P(Cases, Damaged, ::testing::ValuesIn(kDamage),
                         [](const auto& info) { return std::string(info.param.label); });

bool IsStorageCode(HRESULT hr) {
    return hr == S_OK || (FAILED(hr) && HRESULT_FACILITY(hr) == FACILITY_STORAGE);
}

// Reads everything a mutated file offers; the outcome does not matter, only
// that every answer is a storage code and nothing crashes or hangs.
void Exercise(const std::filesystem::path& path) {
    IStorage* storage = nullptr;
    const HRESULT opened = StgOpenStorage(Wide(path).c_str(), nullptr, 0x10, nullptr, 0, &storage);
    ASSERT_TRUE(IsStorageCode(opened)) << std::hex << opened;
    if (FAILED(opened)) return;
    for (const char16_t* name : {u"Small", u"Big", u"C"}) {
        IStream* stream = nullptr;
        const HRESULT hr = storage->OpenStream(name, nullptr, 0x10, 0, &stream);
        EXPECT_TRUE(IsStorageCode(hr)) << std::hex << hr;
        if (!stream) continue;
        uint8_t buffer[1024];
        ULONG got = 0;
        HRESULT read;
        do {
            read = stream->Read(buffer, sizeof buffer, &got);
        } while (read == S_OK && got > 0);
        EXPECT_TRUE(IsStorageCode(read)) << std::hex << read;
        stream->Release();
    }
    storage->Release();
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
        Exercise(path);
        IStorage* probe = nullptr;
        if (StgOpenStorage(Wide(path).c_str(), nullptr, 0x10, nullptr, 0, &probe) == S_OK) {
            ++opened;
            probe->Release();
        }
    }
    // Many mutations hit bytes that do not matter: the reader still opens
    // those, so the run reaches the stream code too.
    EXPECT_GT(opened, 20);
    mv::SetStorageDiagnosticHook(nullptr, nullptr);
}

}  // namespace
