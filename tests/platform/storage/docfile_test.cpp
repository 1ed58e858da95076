#include <gtest/gtest.h>

#include <glib.h>
#include <cstdio>
#include <cstdlib>

#include "storage.h"
#include "storage_test_util.h"

using namespace storage_test;

namespace {

bool OracleAvailable() {
    return std::system("/usr/bin/python3 -c 'import olefile' >/dev/null 2>&1") == 0;
}

// Reads stream "C" of `path` with the independent reader; also fails unless
// the root holds exactly that one stream.
Bytes ReadWithOracle(const ScratchFolder& folder, const std::filesystem::path& path) {
    const auto script = folder / "read.py";
    std::ofstream(script) << "import sys, olefile\n"
                             "ole = olefile.OleFileIO(sys.argv[1])\n"
                             "assert ole.listdir() == [['C']], ole.listdir()\n"
                             "sys.stdout.buffer.write(ole.openstream('C').read())\n";
    const std::string command =
        "/usr/bin/python3 '" + script.string() + "' '" + path.string() + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    EXPECT_NE(pipe, nullptr);
    Bytes out;
    if (!pipe) return out;
    uint8_t buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.insert(out.end(), buffer, buffer + got);
    EXPECT_EQ(::pclose(pipe), 0);
    return out;
}

struct RoundTripCase {
    const char* label;
    size_t size;
    // Named by its label in the test list, not shown as raw bytes.
    friend void PrintTo(const RoundTripCase& c, std::ostream* os) { *os << c.label; }
};

class RoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

// Each document is saved over an older one with other streams, which must
// leave only the new stream and no other file.
TEST_P(RoundTrip, OurReaderAndTheIndependentReaderGetTheBytesBack) {
    ScratchFolder folder;
    const auto path = folder / "doc.mvc";
    ASSERT_EQ(SaveDocument(path, {{u"vorn", Pattern(300, 1)}, {u"X", Pattern(9000, 2)}}), S_OK);
    const Bytes data = Pattern(GetParam().size, 42);
    ASSERT_EQ(SaveDocument(path, {{u"C", data}}), S_OK);
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"doc.mvc"});

    Bytes back;
    EXPECT_EQ(LoadStream(path, u"vorn", &back), STG_E_FILENOTFOUND);
    ASSERT_EQ(LoadStream(path, u"C", &back), S_OK);
    EXPECT_EQ(back, data);
    // Stream names compare without regard to letter case.
    ASSERT_EQ(LoadStream(path, u"c", &back), S_OK);
    EXPECT_EQ(back, data);

    if (!OracleAvailable()) GTEST_SKIP() << "/usr/bin/python3 cannot import olefile";
    EXPECT_EQ(ReadWithOracle(folder, path), data);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RoundTrip,
                         ::testing::Values(RoundTripCase{"regular_sectors", 5000},
                                           RoundTripCase{"mini_stream", 100},
                                           RoundTripCase{"empty", 0},
                                           RoundTripCase{"at_mini_cutoff", 4096}),
                         [](const auto& info) { return std::string(info.param.label); });

// A created document reaches its place when the storage is released (in the
// module's order: stream, then storage) or committed; a commit ends it.
TEST(Docfile, ReleaseOrCommitPutsTheDocumentInPlace) {
    for (bool commit : {false, true}) {
        ScratchFolder folder;
        const auto path = folder / "doc.mvc";
        IStorage* storage = nullptr;
        IStream* stream = nullptr;
        ASSERT_EQ(CreateWithStream(path, &storage, &stream), S_OK);
        const Bytes data = Pattern(6000, 9);
        ULONG written = 0;
        ASSERT_EQ(stream->Write(data.data(), 6000, &written), S_OK);
        EXPECT_EQ(written, 6000u);
        if (commit) {
            ASSERT_EQ(storage->Commit(STGC_DEFAULT), S_OK);
            EXPECT_TRUE(std::filesystem::exists(path));
            EXPECT_EQ(stream->Write("d", 1, nullptr), STG_E_REVERTED);
            IStream* late = nullptr;
            EXPECT_EQ(storage->CreateStream(u"D", 0x12, 0, 0, &late), STG_E_REVERTED);
        }
        stream->Release();
        EXPECT_EQ(std::filesystem::exists(path), commit);
        storage->Release();
        Bytes back;
        ASSERT_EQ(LoadStream(path, u"C", &back), S_OK);
        EXPECT_EQ(back, data);
    }
}

TEST(Docfile, OpenedStreamsReadAndSeekButDoNotWrite) {
    ScratchFolder folder;
    const auto path = folder / "doc.mvc";
    const Bytes data = Pattern(5000, 5);
    ASSERT_EQ(SaveDocument(path, {{u"C", data}}), S_OK);
    IStorage* storage = nullptr;
    IStream* stream = nullptr;
    ASSERT_EQ(OpenWithStream(path, &storage, &stream), S_OK);

    IStream* again = nullptr;
    EXPECT_EQ(storage->OpenStream(u"C", nullptr, 0x10, 0, &again), STG_E_ACCESSDENIED);
    EXPECT_EQ(storage->OpenStream(u"C", nullptr, 0x12, 0, &again), STG_E_ACCESSDENIED);
    EXPECT_EQ(storage->CreateStream(u"D", 0x12, 0, 0, &again), STG_E_ACCESSDENIED);
    EXPECT_EQ(stream->Write("x", 1, nullptr), STG_E_ACCESSDENIED);

    ULARGE_INTEGER position{};
    ASSERT_EQ(stream->Seek(LARGE_INTEGER{-10}, STREAM_SEEK_END, &position), S_OK);
    EXPECT_EQ(position.QuadPart, 4990u);
    uint8_t tail[20];
    ULONG got = 0;
    ASSERT_EQ(stream->Read(tail, sizeof tail, &got), S_OK);
    EXPECT_EQ(got, 10u);  // a read at the end is short, not an error
    EXPECT_TRUE(std::equal(tail, tail + 10, data.end() - 10));
    EXPECT_EQ(stream->Seek(LARGE_INTEGER{-1}, STREAM_SEEK_SET, &position), STG_E_INVALIDFUNCTION);

    STATSTG stat{};
    ASSERT_EQ(stream->Stat(&stat, STATFLAG_DEFAULT), S_OK);
    EXPECT_EQ(std::u16string(stat.pwcsName), u"C");
    EXPECT_EQ(stat.type, STGTY_STREAM);
    EXPECT_EQ(stat.cbSize.QuadPart, 5000u);
    CoTaskMemFree(stat.pwcsName);
    ASSERT_EQ(storage->Stat(&stat, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(stat.pwcsName, nullptr);
    EXPECT_EQ(stat.type, STGTY_STORAGE);

    stream->Release();
    // The stream is free again once released.
    ASSERT_EQ(storage->OpenStream(u"C", nullptr, 0x10, 0, &again), S_OK);
    again->Release();
    storage->Release();
}

TEST(Docfile, CreatedStreamsWriteForwardOnly) {
    ScratchFolder folder;
    IStorage* storage = nullptr;
    IStream* stream = nullptr;
    ASSERT_EQ(CreateWithStream(folder / "doc.mvc", &storage, &stream), S_OK);
    ASSERT_EQ(stream->Write("abcd", 4, nullptr), S_OK);
    uint8_t byte;
    ULONG got = 7;
    EXPECT_EQ(stream->Read(&byte, 1, &got), STG_E_ACCESSDENIED);
    EXPECT_EQ(got, 0u);
    ULARGE_INTEGER position{};
    EXPECT_EQ(stream->Seek(LARGE_INTEGER{0}, STREAM_SEEK_CUR, &position), S_OK);
    EXPECT_EQ(position.QuadPart, 4u);
    EXPECT_EQ(stream->Seek(LARGE_INTEGER{4}, STREAM_SEEK_SET, &position), S_OK);
    EXPECT_EQ(stream->Seek(LARGE_INTEGER{0}, STREAM_SEEK_SET, &position), STG_E_INVALIDFUNCTION);
    IStream* twin = nullptr;
    EXPECT_EQ(storage->CreateStream(u"c", 0x12, 0, 0, &twin), STG_E_FILEALREADYEXISTS);
    EXPECT_EQ(storage->OpenStream(u"C", nullptr, 0x10, 0, &twin), STG_E_ACCESSDENIED);
    stream->Release();
    storage->Release();
}

// Storages and streams, written and read, answer the interfaces callers ask
// them for.
TEST(Docfile, StoragesAndStreamsAnswerTheirInterfaces) {
    ScratchFolder folder;
    for (bool created : {true, false}) {
        IStorage* storage = nullptr;
        IStream* stream = nullptr;
        ASSERT_EQ(
            (created ? CreateWithStream : OpenWithStream)(folder / "doc.mvc", &storage, &stream),
            S_OK);
        const std::pair<IUnknown*, IID> asked[] = {
            {storage, IID_IStorage}, {stream, IID_IStream}, {stream, IID_ISequentialStream}};
        for (const auto& [object, iid] : asked) {
            IUnknown* itf = nullptr;
            EXPECT_EQ(object->QueryInterface(iid, reinterpret_cast<void**>(&itf)), S_OK) << created;
            if (itf) itf->Release();
        }
        stream->Release();
        storage->Release();
    }
}

// A failed open or create gives the storage code, no storage, and leaves the
// folder as it was.
struct PathErrorCase {
    const char* label;
    bool create;
    const char* relative;  // below the scratch folder
    DWORD mode;
    HRESULT expected;
    // Named by its label in the test list, not shown as raw bytes.
    friend void PrintTo(const PathErrorCase& c, std::ostream* os) { *os << c.label; }
};

class PathErrors : public ::testing::TestWithParam<PathErrorCase> {};

TEST_P(PathErrors, GiveTheStorageCodeAndLeaveNothingBehind) {
    ScratchFolder folder;
    ASSERT_EQ(SaveDocument(folder / "doc.mvc", {{u"C", Pattern(10, 1)}}), S_OK);
    std::filesystem::create_directory(folder / "sub.mvc");
    const Bytes before = ReadFile(folder / "doc.mvc");
    const auto& c = GetParam();
    const auto path = Wide(folder / c.relative);
    IStorage* storage = reinterpret_cast<IStorage*>(1);
    EXPECT_EQ(c.create ? StgCreateDocfile(path.c_str(), c.mode, 0, &storage)
                       : StgOpenStorage(path.c_str(), nullptr, c.mode, nullptr, 0, &storage),
              c.expected);
    EXPECT_EQ(storage, nullptr);
    EXPECT_EQ(folder.Names().size(), 2u);
    EXPECT_EQ(ReadFile(folder / "doc.mvc"), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PathErrors,
    ::testing::Values(
        PathErrorCase{"open_missing_file", false, "none.mvc", 0x10, STG_E_FILENOTFOUND},
        PathErrorCase{"open_missing_folder", false, "none/doc.mvc", 0x10, STG_E_PATHNOTFOUND},
        PathErrorCase{"open_folder", false, "sub.mvc", 0x10, STG_E_ACCESSDENIED},
        PathErrorCase{"open_both_access_bits", false, "doc.mvc", 0x13, STG_E_INVALIDFLAG},
        PathErrorCase{"open_bad_share_bits", false, "doc.mvc", 0x70, STG_E_INVALIDFLAG},
        PathErrorCase{"open_unknown_bit", false, "doc.mvc", 0x80000010, STG_E_INVALIDFLAG},
        PathErrorCase{"open_with_create", false, "doc.mvc", 0x1010, STG_E_INVALIDFLAG},
        PathErrorCase{"open_transacted", false, "doc.mvc", 0x10010, STG_E_INVALIDFUNCTION},
        PathErrorCase{"open_not_exclusive", false, "doc.mvc", 0x40, STG_E_INVALIDFUNCTION},
        PathErrorCase{"create_over_without_create", true, "doc.mvc", 0x12, STG_E_FILEALREADYEXISTS},
        PathErrorCase{"create_missing_folder", true, "none/doc.mvc", 0x1012, STG_E_PATHNOTFOUND},
        PathErrorCase{"create_read_only", true, "new.mvc", 0x1010, STG_E_INVALIDFLAG},
        PathErrorCase{"create_unknown_bit", true, "new.mvc", 0x80001012, STG_E_INVALIDFLAG},
        PathErrorCase{"create_transacted", true, "new.mvc", 0x11012, STG_E_INVALIDFUNCTION}),
    [](const auto& info) { return std::string(info.param.label); });

struct NameCase {
    const char16_t* name;
    HRESULT expected;
};

TEST(Docfile, StreamNamesAreChecked) {
    const NameCase cases[] = {
        {u"", STG_E_INVALIDNAME},
        {u"a\\b", STG_E_INVALIDNAME},
        {u"a/b", STG_E_INVALIDNAME},
        {u"a:b", STG_E_INVALIDNAME},
        {u"a!b", STG_E_INVALIDNAME},
        {u"0123456789012345678901234567890", S_OK},  // 31 characters
        {u"01234567890123456789012345678901", STG_E_INVALIDNAME},
        {nullptr, STG_E_INVALIDPOINTER},
    };
    ScratchFolder folder;
    IStorage* storage = nullptr;
    ASSERT_EQ(StgCreateDocfile(Wide(folder / "doc.mvc").c_str(), 0x1012, 0, &storage), S_OK);
    for (const NameCase& c : cases) {
        IStream* stream = nullptr;
        EXPECT_EQ(storage->CreateStream(c.name, 0x12, 0, 0, &stream), c.expected)
            << (c.name ? mv::ToUtf8(c.name) : "(null)");
        if (stream) stream->Release();
    }
    storage->Release();
}

TEST(Docfile, LibraryWarningsReachTheDiagnosticHook) {
    ScratchFolder folder;
    ASSERT_EQ(SaveDocument(folder / "doc.mvc", {{u"C", Pattern(10, 1)}}), S_OK);
    std::vector<std::string> seen;
    mv::SetStorageDiagnosticHook(CollectDiagnostic, &seen);
    g_log("libgsf", G_LOG_LEVEL_WARNING, "%s", "sample warning");
    g_log("GLib-GObject", G_LOG_LEVEL_CRITICAL, "%s", "sample critical");
    // A damaged table makes the reader warn under its own sub-domain.
    HandMadeFile made;
    Bytes file = made.Build();
    HandMadeFile::Put32(file, HandMadeFile::FatEntry(8), 500);
    WriteFile(folder / "bad.mvc", file);
    IStorage* storage = nullptr;
    EXPECT_EQ(StgOpenStorage(Wide(folder / "bad.mvc").c_str(), nullptr, 0x10, nullptr, 0, &storage),
              STG_E_DOCFILECORRUPT);
    mv::SetStorageDiagnosticHook(nullptr, nullptr);
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen[0], "libgsf: sample warning");
    EXPECT_EQ(seen[1], "GLib-GObject: sample critical");
    EXPECT_EQ(seen[2].rfind("libgsf:msole: ", 0), 0u) << seen[2];
}

}  // namespace
