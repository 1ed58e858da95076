// The named collection's stream and XML forms: exact bytes, round trips,
// damaged input and the failures each step reports.
#include <random>

#include "collection_test_support.h"
#include "persist_test_class.h"
#include "xml.h"

namespace collection_test {
namespace {

// A test member's own stream: its name as a counted UTF-16LE text.
Bytes NameBytes(std::u16string_view name) {
    Bytes out{static_cast<BYTE>(name.size() * 2), 0, 0, 0};
    for (char16_t c : name) {
        out.push_back(static_cast<BYTE>(c));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
    return out;
}

// One member record: a flag byte, the class and the member's stream.
Bytes Record(std::u16string_view name, const CLSID& clsid = CLSID_MvParameter, BYTE flag = 1) {
    return Cat({{flag}, ClassBytes(clsid), NameBytes(name)});
}

class CollectionPersistTest : public testing::Test {
protected:
    void SetUp() override {
        LogWatch initialisesTheLog;
        collection_ = MakeCollection();
    }
    void TearDown() override {
        collection_.Reset();
        EXPECT_EQ(g_liveMembers.load(), 0) << "a member reference was not given back";
    }

    void Add(IDispatch* member, const char16_t* name) {
        mv::Bstr n(name);
        ASSERT_EQ(collection_->Add(n.get(), member), S_OK);
    }
    // The filed members' own names in position order, each checked to be
    // filed under its own name.
    std::vector<std::u16string> Names() {
        std::vector<mv::ComPtr<IDispatch>> members;
        EXPECT_EQ(MvObjCollection_Snapshot(collection_.get(), &members), S_OK);
        std::vector<std::u16string> out;
        for (auto& m : members) {
            mv::Variant name;
            EXPECT_EQ(mv::DispGetPropertyByName(m.get(), u"Name", &name), S_OK);
            out.emplace_back(name.bstrVal, SysStringLen(name.bstrVal));
            mv::ComPtr<IDispatch> filed;
            EXPECT_EQ(collection_->ItemByName(name.bstrVal, filed.Put()), S_OK);
            EXPECT_EQ(filed.get(), m.get());
        }
        return out;
    }

    ServedMembers served_;
    mv::ComPtr<mv::ComObject<CMvObjCollection>> collection_;
};

TEST_F(CollectionPersistTest, StreamHoldsAFlagClassAndContentsPerMember) {
    struct Case {
        const char* what;
        std::vector<const char16_t*> names;
        Bytes expected;
    } cases[] = {
        {"empty", {}, {0x00}},
        {"two members",
         {u"ab", u"c"},
         Cat({{0x01, 0xF2, 0x53, 0x8B, 0x3C, 0x9D, 0xE3, 0xD2, 0x11, 0xB9, 0x03, 0x00, 0x80,
               0x5F, 0x71, 0x2C, 0x95, 0x04, 0x00, 0x00, 0x00, 'a',  0,    'b',  0},
              Record(u"c"),
              {0x00}})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        collection_->RemoveAll();
        for (const char16_t* n : c.names) {
            auto m = MakeMember<CTestMember>(n);
            Add(AsDispatch(m.get()), n);
        }
        auto stream = NewStream();
        EXPECT_EQ(collection_->Save(stream.get(), TRUE), S_OK);
        EXPECT_EQ(StreamBytes(stream.get()), c.expected);

        auto loaded = MakeCollection();
        auto again = NewStream(c.expected);
        EXPECT_EQ(loaded->Load(again.get()), S_OK);
        LONG count = -1;
        loaded->get_Count(&count);
        EXPECT_EQ(count, static_cast<LONG>(c.names.size()));
    }
}

TEST_F(CollectionPersistTest, StreamLoadsMembersInOrderOrStopsAtTheFirstFault) {
    const CLSID unregistered = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
    struct Case {
        const char* what;
        Bytes bytes;
        HRESULT expected;
        std::vector<std::u16string> loaded;
        const char* logged;  // a line the load writes, or null
    } cases[] = {
        {"members in order",
         Cat({Record(u"b"), Record(u"a"), {0x00}}),
         S_OK,
         {u"b", u"a"},
         nullptr},
        {"any non-zero flag is a member",
         Cat({Record(u"a", CLSID_MvParameter, 0x02), {0x00}}),
         S_OK,
         {u"a"},
         nullptr},
        {"nothing at all",
         {},
         E_FAIL,
         {},
         "CMvObjCollection::Load: pStm->Read: Failed to read lead object_follows flag from "
         "stream!"},
        {"no end flag",
         Record(u"a"),
         E_FAIL,
         {u"a"},
         "CMvObjCollection::Load: pStm->Read : Failed to read next lead object_follows flag from "
         "stream!"},
        {"class not registered",
         Cat({Record(u"a"), Record(u"b", unregistered), {0x00}}),
         REGDB_E_CLASSNOTREG,
         {u"a"},
         "CMvObjCollection::Load: OleLoadFromStream : Failed to load next collection object from "
         "stream!"},
        {"null class", Cat({Record(u"a", CLSID_NULL), {0x00}}), REGDB_E_CLASSNOTREG, {}, nullptr},
        {"class cut short", Cat({{0x01}, Bytes(8, 0xF2)}), STG_E_READFAULT, {}, nullptr},
        {"member cut short",
         Cat({{0x01}, ClassBytes(CLSID_MvParameter), {0x08, 0, 0, 0, 'a'}}),
         E_FAIL,
         {},
         nullptr},
        {"member without a name",
         Cat({Record(u"a"), Record(u"x", CLSID_TestNameless), {0x00}}),
         E_NOINTERFACE,
         {u"a"},
         "CMvObjCollection::Load: AddObject : Unable to add object to collection!"},
        {"second member of the same name",
         Cat({Record(u"a"), Record(u"A"), {0x00}}),
         S_OK,
         {u"a"},
         "CMvObjCollection::AddObject: Add: Item is already in collection; object \"A\" was not "
         "added"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto old = MakeMember<CTestMember>(u"old");
        Add(AsDispatch(old.get()), u"old");
        LogWatch watch;
        auto stream = NewStream(c.bytes);
        EXPECT_EQ(collection_->Load(stream.get()), c.expected);
        EXPECT_EQ(Names(), c.loaded) << "the old members are gone, the loaded ones kept";
        if (c.logged) {
            std::string log = watch.Text();
            EXPECT_EQ(Occurrences(log, c.logged), 1) << log;
        }
        collection_->RemoveAll();
        old.Reset();
        EXPECT_EQ(g_liveMembers.load(), 0);
    }
}

TEST_F(CollectionPersistTest, StreamSaveSkipsMembersThatCannotBeSaved) {
    auto a = MakeMember<CTestMember>(u"a");
    auto bare = MakeMember<CBareMember>(u"bare");
    auto nameless = MakeMember<CNamelessMember>(u"x");
    Add(AsDispatch(a.get()), u"a");
    Add(AsDispatch(bare.get()), u"bare");
    Add(AsDispatch(nameless.get()), u"x");
    LogWatch watch;
    auto stream = NewStream();
    EXPECT_EQ(collection_->Save(stream.get(), FALSE), S_OK);
    EXPECT_EQ(StreamBytes(stream.get()),
              Cat({Record(u"a"), Record(u"x", CLSID_TestNameless), {0x00}}));
    std::string log = watch.Text();
    EXPECT_EQ(Occurrences(log, "CMvObjCollection::Save: E_FAIL"), 1) << log;
    EXPECT_EQ(Occurrences(log,
                          "CMvObjCollection::Save: QueryInterface : Object does not "
                          "implement IPersistStream persistency"),
              1)
        << log;
}

TEST_F(CollectionPersistTest, StreamSaveReturnsAFailedWrite) {
    auto a = MakeMember<CTestMember>(u"abcdef");
    Add(AsDispatch(a.get()), u"abcdef");
    std::string path = std::string(getenv("MORVA_COMMON_APPDATA")) + "/collection-full.mvc";
    struct Case {
        int64_t acceptedBytes;
        const char* logged;
    } cases[] = {
        {0, "pStm->Write : Failed to write object_follows flag to stream!"},
        {5, "OleSaveToStream : Failed to save object to stream!"},
        {1 + 16 + 16, "pStm->Write : Failed to write object_follows flag to stream!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.acceptedBytes);
        mv::ComPtr<IStorage> storage;
        std::u16string wide = mv::ToUtf16(path);
        ASSERT_EQ(
            StgCreateDocfile(reinterpret_cast<const WCHAR*>(wide.c_str()),
                             STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, storage.Put()),
            S_OK);
        mv::ComPtr<IStream> stream;
        ASSERT_EQ(storage->CreateStream(u"L", STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                                        stream.Put()),
                  S_OK);
        LogWatch watch;
        mv::SetStorageWriteFailureAfter(c.acceptedBytes);
        EXPECT_EQ(collection_->Save(stream.get(), TRUE), STG_E_MEDIUMFULL);
        mv::SetStorageWriteFailureAfter(-1);
        std::string log = watch.Text();
        EXPECT_EQ(Occurrences(log, c.logged), 1) << log;
        stream.Reset();
        mv::StgAbandon(storage.get());
    }
}

TEST_F(CollectionPersistTest, XmlAppendsOneElementPerMemberNamedAfterItsClass) {
    auto doc = ParseXml(u"<Root><Kept/></Root>");
    auto root = RootOf(doc.get());
    auto a = MakeMember<CTestMember>(u"a");
    auto b = MakeMember<CTestMember>(u"b&c");
    Add(AsDispatch(a.get()), u"a");
    Add(AsDispatch(b.get()), u"b");
    EXPECT_EQ(collection_->SaveXML(root.get()), S_OK);
    EXPECT_EQ(XmlOf(root.get()),
              u"<Root><Kept/><Parameter>a</Parameter><Parameter>b&amp;c</Parameter></Root>");

    auto loaded = MakeCollection();
    auto copy = ParseXml(u"<Copy><Parameter>a</Parameter><Parameter>b&amp;c</Parameter></Copy>");
    EXPECT_EQ(loaded->LoadXML(RootOf(copy.get()).get()), S_OK);
    mv::Bstr name(u"B&C");
    mv::ComPtr<IDispatch> item;
    EXPECT_EQ(loaded->ItemByName(name.get(), item.Put()), S_OK);
}

TEST_F(CollectionPersistTest, XmlLoadTakesElementsOnlyAndStopsAtTheFirstFault) {
    struct Case {
        const char* what;
        const char16_t* xml;
        HRESULT expected;
        std::vector<std::u16string> loaded;
        const char* logged;
    } cases[] = {
        {"text and comments only", u"<R>text<!--note--><?pi x?></R>", S_OK, {}, nullptr},
        {"elements among text",
         u"<R> <Parameter>b</Parameter>t<Parameter>a</Parameter></R>",
         S_OK,
         {u"b", u"a"},
         nullptr},
        {"name in another case",
         u"<R><Parameter>a</Parameter><parameter>b</parameter></R>",
         E_FAIL,
         {u"a"},
         "CMvObjCollection::LoadXML: GetID : Failed to get dispid from node name."},
        {"class not served",
         u"<R><DataSet>d</DataSet></R>",
         REGDB_E_CLASSNOTREG,
         {},
         "CMvObjCollection::LoadXML: CoCreateInstance : Failed to create instance."},
        {"member refuses",
         u"<R><Parameter>a</Parameter><Parameter>fail</Parameter></R>",
         E_FAIL,
         {u"a"},
         "CMvObjCollection::LoadXML: pPersist->LoadXML : Unable to load XML."},
        {"same name twice",
         u"<R><Parameter>a</Parameter><Parameter>A</Parameter></R>",
         S_OK,
         {u"a"},
         "object \"A\" was not added"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto old = MakeMember<CTestMember>(u"old");
        Add(AsDispatch(old.get()), u"old");
        LogWatch watch;
        auto doc = ParseXml(c.xml);
        EXPECT_EQ(collection_->LoadXML(RootOf(doc.get()).get()), c.expected);
        EXPECT_EQ(Names(), c.loaded);
        if (c.logged) {
            std::string log = watch.Text();
            EXPECT_EQ(Occurrences(log, c.logged), 1) << log;
        }
        collection_->RemoveAll();
    }
}

TEST_F(CollectionPersistTest, XmlSaveReportsMembersItCannotWrite) {
    auto a = MakeMember<CTestMember>(u"a");
    auto bare = MakeMember<CBareMember>(u"bare");
    auto nameless = MakeMember<CNamelessMember>(u"x");
    struct Case {
        const char* what;
        std::vector<IDispatch*> members;
        HRESULT expected;
        const char16_t* written;
        const char* logged;
    } cases[] = {
        {"member without the XML form last",
         {AsDispatch(a.get()), AsDispatch(bare.get())},
         E_NOINTERFACE,
         u"<R><Parameter>a</Parameter></R>",
         "QueryInterface : Object does not implement IMvPersistXML persistency"},
        {"member without the XML form first",
         {AsDispatch(bare.get()), AsDispatch(a.get())},
         S_OK,
         u"<R><Parameter>a</Parameter></R>",
         "QueryInterface : Object does not implement IMvPersistXML persistency"},
        {"class without an element name",
         {AsDispatch(nameless.get()), AsDispatch(a.get())},
         E_FAIL,
         u"<R/>",
         "GetNodeName : Failed to get node name from dispid."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        collection_->RemoveAll();
        int n = 0;
        for (IDispatch* m : c.members) {
            std::u16string name = u"m" + std::u16string(1, char16_t(u'0' + n++));
            Add(m, name.c_str());
        }
        auto doc = ParseXml(u"<R/>");
        auto root = RootOf(doc.get());
        LogWatch watch;
        EXPECT_EQ(collection_->SaveXML(root.get()), c.expected);
        EXPECT_EQ(XmlOf(root.get()), c.written);
        std::string log = watch.Text();
        EXPECT_EQ(Occurrences(log, c.logged), 1) << log;
    }
}

TEST_F(CollectionPersistTest, XmlSaveRefusesANodeWithoutOwnerDocument) {
    auto a = MakeMember<CTestMember>(u"a");
    Add(AsDispatch(a.get()), u"a");
    mv::ComPtr<IXMLDOMDocument> doc;
    ASSERT_EQ(mv::CreateXmlDocument(doc.Put()), S_OK);
    LogWatch watch;
    EXPECT_EQ(collection_->SaveXML(doc.get()), E_INVALIDARG);
    EXPECT_EQ(XmlOf(doc.get()), u"");
    std::string log = watch.Text();
    EXPECT_EQ(Occurrences(log, "CMvObjCollection::SaveXML: E_INVALIDARG"), 1) << log;
    EXPECT_EQ(Occurrences(log, "get_ownerDocument : Fialed to get IXMLDOMDocument interface."), 1)
        << log;
}

TEST_F(CollectionPersistTest, DocumentFileRoundTripsTheMembers) {
    auto a = MakeMember<CTestMember>(u"a");
    auto b = MakeMember<CTestMember>(u"b");
    Add(AsDispatch(a.get()), u"a");
    Add(AsDispatch(b.get()), u"b");
    mv::ComPtr<IMvPersistFile> file;
    ASSERT_EQ(collection_->QueryInterface(IID_IMvPersistFile, file.PutVoid()), S_OK);
    mv::Bstr path(std::string(getenv("MORVA_COMMON_APPDATA")) + "/Collection.mvc");
    ASSERT_EQ(file->SaveToFile(path.get()), S_OK);

    collection_->RemoveAll();
    EXPECT_EQ(file->LoadFromFile(path.get()), S_OK);
    EXPECT_EQ(Names(), (std::vector<std::u16string>{u"a", u"b"}));
}

TEST_F(CollectionPersistTest, CollectionsNestedBeyondTheLimitFailInsteadOfExhaustingTheStack) {
    auto served = values_test::ServedClass::Of<CMvObjCollection>(CLSID_MvObjCollection);
    // Each level is a member that is itself a collection holding the next.
    const int levels = 20000;
    const Bytes open = Cat({{0x01}, ClassBytes(CLSID_MvObjCollection)});
    Bytes bytes;
    for (int i = 0; i < levels; ++i) bytes.insert(bytes.end(), open.begin(), open.end());
    bytes.insert(bytes.end(), levels + 1, 0x00);
    auto stream = NewStream(bytes);
    EXPECT_TRUE(FAILED(collection_->Load(stream.get())));
    EXPECT_TRUE(Names().empty());
}

TEST_F(CollectionPersistTest, DamagedStreamsNeverCrashOrLeak) {
    Bytes good = Cat({Record(u"first"),
                      Record(u"second"),
                      Record(u"x", CLSID_TestNameless),
                      Record(u"third"),
                      {0x00}});
    std::mt19937 random(20240607);
    for (int round = 0; round < 400; ++round) {
        Bytes bytes = good;
        int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits; ++e) {
            size_t at = random() % bytes.size();
            switch (random() % 3) {
                case 0:
                    bytes[at] = static_cast<BYTE>(random());
                    break;
                case 1:
                    bytes.erase(bytes.begin() + static_cast<long>(at), bytes.end());
                    break;
                default:
                    bytes.insert(bytes.begin() + static_cast<long>(at),
                                 static_cast<BYTE>(random()));
            }
            if (bytes.empty()) break;
        }
        auto stream = NewStream(bytes);
        collection_->Load(stream.get());
        LONG count = -1;
        collection_->get_Count(&count);
        EXPECT_LE(count, 4);
    }
    collection_->RemoveAll();
}

TEST_F(CollectionPersistTest, DamagedXmlNeverCrashesOrLeaks) {
    const std::u16string good =
        u"<R><Parameter>first</Parameter> <Parameter>second</Parameter><!--c-->"
        u"<Parameter>third</Parameter></R>";
    const char16_t alphabet[] = u"<>/!-PRa ";
    std::mt19937 random(7);
    int parsed = 0;
    for (int round = 0; round < 300; ++round) {
        std::u16string text = good;
        for (int e = 1 + static_cast<int>(random() % 3); e > 0 && !text.empty(); --e) {
            size_t at = random() % text.size();
            if (random() % 2)
                text[at] = alphabet[random() % (sizeof alphabet / sizeof alphabet[0] - 1)];
            else
                text.erase(at, 1 + random() % 4);
        }
        mv::ComPtr<IXMLDOMDocument> doc;
        ASSERT_EQ(mv::CreateXmlDocument(doc.Put()), S_OK);
        mv::Bstr xml(text);
        VARIANT_BOOL ok = VARIANT_FALSE;
        doc->loadXML(xml.get(), &ok);
        mv::ComPtr<IXMLDOMElement> root;
        if (ok != VARIANT_TRUE || doc->get_documentElement(root.Put()) != S_OK || !root) continue;
        ++parsed;
        collection_->LoadXML(root.get());
        LONG count = -1;
        collection_->get_Count(&count);
        EXPECT_LE(count, 3);
    }
    EXPECT_GT(parsed, 0);
    collection_->RemoveAll();
}

}  // namespace
}  // namespace collection_test
