// Document files: one letter stream under the root of a compound file, read
// back by our loader and by an independent reader; the older stream name,
// the report-file-errors rule, and saves that fail without harming the old
// document.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "frame/tls_slots.h"
#include "persist_test_class.h"
#include "storage.h"

namespace {

namespace fs = std::filesystem;
using TestObject = mv::ComPtr<mv::ComObject<CPersistTestObject>>;

Bytes FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A document holding one stream of the given name and contents.
void WriteDocument(const std::string& path, const OLECHAR* streamName, const Bytes& contents) {
    mv::ComPtr<IStorage> storage;
    ASSERT_EQ(S_OK, StgCreateDocfile(mv::ToUtf16(path).c_str(),
                                     STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE, 0,
                                     storage.Put()));
    mv::ComPtr<IStream> stream;
    ASSERT_EQ(S_OK, storage->CreateStream(streamName, STGM_SHARE_EXCLUSIVE | STGM_READWRITE, 0, 0,
                                          stream.Put()));
    ASSERT_EQ(S_OK, stream->Write(contents.data(), static_cast<ULONG>(contents.size()), nullptr));
}

Bytes SavedStream(IPersistStream* persist) {
    auto stream = NewStream();
    EXPECT_EQ(S_OK, persist->Save(stream.get(), FALSE));
    return StreamBytes(stream.get());
}

class DocumentFiles : public testing::Test {
protected:
    void SetUp() override {
        if (g_tlsReportFileErrors == TLS_OUT_OF_INDEXES) AllocateTlsSlots();
        SetReportFileErrors(1);
        folder_ = fs::path(getenv("MORVA_COMMON_APPDATA")) /
                  testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(folder_);
    }
    void TearDown() override { SetReportFileErrors(1); }

    static void SetReportFileErrors(uintptr_t value) {
        TlsSetValue(g_tlsReportFileErrors, reinterpret_cast<LPVOID>(value));
    }
    std::string PathOf(const std::string& name) const { return (folder_ / name).string(); }

    PersistTestClassRegistration classes_;
    fs::path folder_;
};

TEST_F(DocumentFiles, CollectionDocumentHoldsExactlyTheLStreamForAnIndependentReader) {
    mv::ComPtr<mv::ComObject<CPersistTestCollection>> collection;
    ASSERT_EQ(S_OK, mv::MakeComObject(&collection));
    TestObject first = MakeTestObject(), second = MakeTestObject();
    first->name = mv::Bstr(u"First");
    second->count = 2;
    collection->members = {static_cast<IPersistTestObject*>(first.get()),
                           static_cast<IPersistTestObject*>(second.get())};
    const std::string path = PathOf("Schedules.mvc");
    ASSERT_EQ(S_OK, collection->SaveToFile(mv::Bstr(mv::ToUtf16(path)).get()));

    EXPECT_EQ("L=" + Hex(SavedStream(collection.get())) + "\n", ReadWithOlefile(path));

    mv::ComPtr<mv::ComObject<CPersistTestCollection>> loaded;
    ASSERT_EQ(S_OK, mv::MakeComObject(&loaded));
    ASSERT_EQ(S_OK, loaded->LoadFromFile(mv::Bstr(mv::ToUtf16(path)).get()));
    EXPECT_EQ(2u, loaded->members.size());
}

TEST_F(DocumentFiles, SavingOverADocumentWithTheOlderStreamLeavesOnlyTheLetterStream) {
    const std::string path = PathOf("Lib.mvc");
    TestObject source = MakeTestObject();
    source->count = 41;
    WriteDocument(path, u"vorn", SavedStream(source.get()));

    // A document whose only stream has the older name loads like any other.
    TestObject loaded = MakeTestObject();
    ASSERT_EQ(S_OK, loaded->LoadFromFile(mv::Bstr(mv::ToUtf16(path)).get()));
    EXPECT_EQ(41, loaded->count);

    loaded->count = 42;
    ASSERT_EQ(S_OK, loaded->SaveToFile(mv::Bstr(mv::ToUtf16(path)).get()));
    EXPECT_EQ("F=" + Hex(SavedStream(loaded.get())) + "\n", ReadWithOlefile(path));
}

TEST_F(DocumentFiles, DocumentOfAnotherLetterFailsAtTheStreamStepOnEveryThreadSetting) {
    mv::ComPtr<mv::ComObject<CPersistTestCollection>> collection;
    ASSERT_EQ(S_OK, mv::MakeComObject(&collection));
    const std::string path = PathOf("Units.mvc");
    ASSERT_EQ(S_OK, collection->SaveToFile(mv::Bstr(mv::ToUtf16(path)).get()));

    for (uintptr_t flag : {0, 1}) {
        SetReportFileErrors(flag);
        LogWatch log;
        TestObject object = MakeTestObject();
        EXPECT_EQ(STG_E_FILENOTFOUND, object->LoadFromFile(mv::Bstr(mv::ToUtf16(path)).get()));
        EXPECT_NE(std::string::npos,
                  log.Text().find("IMvPersistFileImpl<class CPersistTestObject,70>::LoadFromFile: "
                                  "pStorage->OpenStream: Failed to open stream F in file \"" +
                                  path + "\".  File is wrong type."))
            << log.Text();
    }
}

TEST_F(DocumentFiles, MissingFilesAreReportedOnlyWhereTheThreadAsksAndNotForTheBinDocuments) {
    struct MissingCase {
        std::string name;
        uintptr_t flag;
        bool logged;
    };
    const std::vector<MissingCase> cases = {
        {"Calc/Boiler.mvc", 1, true},       {"Calc/Boiler.mvc", 0, false},
        {"Calc/Boiler.mvc", 2, false},      {"bin/Schedules.mvc", 1, false},
        {"bin/Conversions.mvc", 1, false},  {"bin\\Schedules.mvc", 1, false},
        {"bin\\Conversions.mvc", 1, false}, {"bin/schedules.mvc", 1, true},
        {"BIN/Conversions.mvc", 1, true},   {"xbin/Schedules.mvc.old", 1, true},
    };
    for (const MissingCase& c : cases) {
        SCOPED_TRACE(c.name + " flag " + std::to_string(c.flag));
        SetReportFileErrors(c.flag);
        LogWatch log;
        const std::string path = PathOf(c.name);
        fs::create_directories(fs::path(path).parent_path());
        TestObject object = MakeTestObject();
        EXPECT_TRUE(FAILED(object->LoadFromFile(mv::Bstr(mv::ToUtf16(path)).get())));
        const std::string expected =
            "IMvPersistFileImpl<class CPersistTestObject,70>::LoadFromFile: StgOpenStorage: "
            "Failed to open file \"" +
            path + "\"";
        EXPECT_EQ(c.logged, log.Text().find(expected) != std::string::npos) << log.Text();
    }
    // Names shorter than the suffixes are compared safely.
    SetReportFileErrors(1);
    TestObject object = MakeTestObject();
    for (const char16_t* name : {u"", u"a", u"Schedules.mvc"})
        EXPECT_TRUE(FAILED(object->LoadFromFile(mv::Bstr(name).get())));
}

TEST_F(DocumentFiles, FailedSaveLeavesTheOldDocumentAsItWas) {
    const std::string path = PathOf("Calc.mvc");
    TestObject object = MakeTestObject();
    object->count = 7;
    ASSERT_EQ(S_OK, object->SaveToFile(mv::Bstr(mv::ToUtf16(path)).get()));
    const Bytes before = FileBytes(path);

    object->count = 8;
    object->defaultValue.vt = VT_NULL;  // has no stream form
    EXPECT_EQ(DISP_E_TYPEMISMATCH, object->SaveToFile(mv::Bstr(mv::ToUtf16(path)).get()));
    EXPECT_EQ(before, FileBytes(path));
    EXPECT_EQ(1, std::distance(fs::directory_iterator(folder_), fs::directory_iterator()));

    TestObject loaded = MakeTestObject();
    ASSERT_EQ(S_OK, loaded->LoadFromFile(mv::Bstr(mv::ToUtf16(path)).get()));
    EXPECT_EQ(7, loaded->count);
}

TEST_F(DocumentFiles, FailuresOfTheFileItselfAreReturned) {
    TestObject object = MakeTestObject();
    EXPECT_FALSE(
        SUCCEEDED(object->SaveToFile(mv::Bstr(mv::ToUtf16(PathOf("no/such/folder/x.mvc"))).get())));

    const std::string plain = PathOf("plain.mvc");
    std::ofstream(plain) << "not a compound file";
    EXPECT_FALSE(SUCCEEDED(object->LoadFromFile(mv::Bstr(mv::ToUtf16(plain)).get())));

    // A stream that the object cannot read is logged as a failed load.
    const std::string damaged = PathOf("damaged.mvc");
    WriteDocument(damaged, u"F", {0x02, 0x00, 0x00, 0x00, 0x03});
    LogWatch log;
    EXPECT_EQ(E_FAIL, object->LoadFromFile(mv::Bstr(mv::ToUtf16(damaged)).get()));
    EXPECT_NE(std::string::npos,
              log.Text().find("IMvPersistFileImpl<class CPersistTestObject,70>::LoadFromFile: "
                              "pPersist->Load: Failed to load file \"" +
                              damaged + "\""));
}

}  // namespace
