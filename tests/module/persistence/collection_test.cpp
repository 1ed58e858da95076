// The named collection through IMvObjCollection: positions, names, removal,
// renaming, name lists, enumeration and reference ownership.
#include <climits>
#include <map>
#include <string>

#include "frame/diagnostic_log.h"

#include "collection_test_support.h"
#include "persist_test_class.h"

namespace collection_test {
namespace {

using MemberPtr = mv::ComPtr<mv::ComObject<CTestMember>>;

class CollectionTest : public testing::Test {
protected:
    void SetUp() override {
        LogWatch initialisesTheLog;
        collection_ = MakeCollection();
    }
    void TearDown() override {
        collection_.Reset();
        EXPECT_EQ(g_liveMembers.load(), 0) << "a member reference was not given back";
    }

    // Adds collectible members named as given, filed under the same names.
    std::vector<MemberPtr> AddMembers(std::initializer_list<const char16_t*> names) {
        std::vector<MemberPtr> out;
        for (const char16_t* n : names) {
            out.push_back(MakeMember<CTestMember>(n));
            mv::Bstr name(n);
            EXPECT_EQ(collection_->Add(name.get(), AsDispatch(out.back().get())), S_OK);
        }
        return out;
    }
    LONG Count() {
        LONG n = -1;
        EXPECT_EQ(collection_->get_Count(&n), S_OK);
        return n;
    }
    // The names of the members in position order, read from the members.
    std::vector<std::u16string> NamesByPosition() {
        std::vector<std::u16string> out;
        for (LONG i = 1; i <= Count(); ++i) {
            mv::ComPtr<IDispatch> item;
            EXPECT_EQ(collection_->ItemByIndex(i, item.Put()), S_OK);
            mv::Variant name;
            EXPECT_EQ(mv::DispGetPropertyByName(item.get(), u"Name", &name), S_OK);
            out.emplace_back(name.bstrVal, SysStringLen(name.bstrVal));
        }
        return out;
    }

    mv::ComPtr<mv::ComObject<CMvObjCollection>> collection_;
};

TEST_F(CollectionTest, ItemChoosesByTheIndexType) {
    auto members = AddMembers({u"first", u"second"});
    SHORT two = 2;
    LONG one = 1;
    mv::Bstr secondName(u"SECOND");
    BSTR secondRef = secondName.get();
    struct Case {
        const char* what;
        VARIANT index;
        int expectedMember;  // -1: refused
        const char16_t* error;
    };
    VARIANT v;
    auto make = [&](VARTYPE vt, auto setter) {
        VariantInit(&v);
        v.vt = vt;
        setter(v);
        return v;
    };
    Case cases[] = {
        {"I2", make(VT_I2, [](VARIANT& x) { x.iVal = 2; }), 1, nullptr},
        {"I4", make(VT_I4, [](VARIANT& x) { x.lVal = 1; }), 0, nullptr},
        {"BSTR", make(VT_BSTR, [&](VARIANT& x) { x.bstrVal = secondName.get(); }), 1, nullptr},
        {"I2 byref", make(VT_I2 | VT_BYREF, [&](VARIANT& x) { x.piVal = &two; }), 1, nullptr},
        {"I4 byref", make(VT_I4 | VT_BYREF, [&](VARIANT& x) { x.plVal = &one; }), 0, nullptr},
        {"BSTR byref", make(VT_BSTR | VT_BYREF, [&](VARIANT& x) { x.pbstrVal = &secondRef; }), 1,
         nullptr},
        {"I2 -1", make(VT_I2, [](VARIANT& x) { x.iVal = -1; }), -1, u"Item: Index out of range"},
        {"I4 0", make(VT_I4, [](VARIANT& x) { x.lVal = 0; }), -1, u"Item: Index out of range"},
        {"I4 count+1", make(VT_I4, [](VARIANT& x) { x.lVal = 3; }), -1,
         u"Item: Index out of range"},
        {"I4 INT_MIN", make(VT_I4, [](VARIANT& x) { x.lVal = INT_MIN; }), -1,
         u"Item: Index out of range"},
        {"absent name", make(VT_BSTR, [](VARIANT& x) { x.bstrVal = nullptr; }), -1,
         u"Item: Named item not found"},
        {"R8", make(VT_R8, [](VARIANT& x) { x.dblVal = 1.0; }), -1,
         u"Item: Invalid data type for index parameter"},
        {"VARIANT byref", make(VT_VARIANT | VT_BYREF, [&](VARIANT& x) { x.pvarVal = &v; }), -1,
         u"Item: Invalid data type for index parameter"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VARIANT out;
        VariantInit(&out);
        out.vt = VT_I4;
        out.lVal = 77;
        HRESULT hr = collection_->Item(c.index, &out);
        if (c.expectedMember < 0) {
            EXPECT_EQ(hr, E_FAIL);
            EXPECT_EQ(TakeErrorText(), c.error);
            EXPECT_EQ(out.vt, VT_I4) << "a failure leaves the result untouched";
            EXPECT_EQ(out.lVal, 77);
        } else {
            ASSERT_EQ(hr, S_OK);
            ASSERT_EQ(out.vt, VT_DISPATCH);
            EXPECT_EQ(out.pdispVal, AsDispatch(members[c.expectedMember].get()));
            VariantClear(&out);
        }
    }
}

// Only ASCII letters fold; a null name is the empty key.
TEST_F(CollectionTest, NamesAreKeyedWithoutRegardToAsciiCase) {
    auto member = MakeMember<CTestMember>(u"m");
    auto other = MakeMember<CTestMember>(u"n");
    struct Case {
        const char16_t* filed;
        const char16_t* lookup;
        bool sameKey;
    } cases[] = {{u"abc", u"ABC", true},
                 {u"abc", u"aBc", true},
                 {u"abc", u"abd", false},
                 {nullptr, u"", true},
                 {u"\u00e9t\u00e9", u"\u00c9T\u00c9", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(mv::ToUtf8(c.lookup));
        collection_->RemoveAll();
        SetErrorInfo(0, nullptr);
        mv::Bstr filed(c.filed), lookup(c.lookup);
        ASSERT_EQ(collection_->Add(filed.get(), AsDispatch(member.get())), S_OK);
        mv::ComPtr<IDispatch> item;
        EXPECT_EQ(collection_->ItemByName(lookup.get(), item.Put()), c.sameKey ? S_OK : E_FAIL);
        EXPECT_EQ(item.get(), c.sameKey ? AsDispatch(member.get()) : nullptr);
        EXPECT_EQ(TakeErrorText(), c.sameKey ? u"<none>" : u"Item: Named item not found");
        EXPECT_EQ(collection_->Add(lookup.get(), AsDispatch(other.get())),
                  c.sameKey ? E_FAIL : S_OK);
        EXPECT_EQ(TakeErrorText(), c.sameKey ? u"Add: Item is already in collection" : u"<none>");
        EXPECT_EQ(Count(), c.sameKey ? 1 : 2);
    }
}

TEST_F(CollectionTest, NullArgumentsFileNothing) {
    mv::Bstr name(u"ghost");
    EXPECT_EQ(collection_->Add(name.get(), nullptr), E_POINTER);
    EXPECT_EQ(Count(), 0);
    IDispatch* item = reinterpret_cast<IDispatch*>(0x1);
    EXPECT_EQ(collection_->ItemByName(name.get(), &item), E_FAIL);
    EXPECT_EQ(item, nullptr);
    item = reinterpret_cast<IDispatch*>(0x1);
    EXPECT_EQ(collection_->ItemByIndex(1, &item), E_FAIL);
    EXPECT_EQ(item, nullptr) << "a refused position hands out null";
}

TEST_F(CollectionTest, RemoveShiftsLaterMembersAndGivesBackTheReference) {
    auto members = AddMembers({u"a", u"b", u"c"});
    ULONG before = members[1]->AddRef() - 1;
    members[1]->Release();

    mv::Bstr b(u"B");
    EXPECT_EQ(collection_->Remove(b.get()), S_OK);
    EXPECT_EQ(Count(), 2);
    EXPECT_EQ(NamesByPosition(), (std::vector<std::u16string>{u"a", u"c"}));
    EXPECT_EQ(members[1]->AddRef() - 1, before - 1);
    members[1]->Release();

    EXPECT_EQ(collection_->Remove(b.get()), E_FAIL);
    EXPECT_EQ(TakeErrorText(), u"Remove: Named item not found");
}

TEST_F(CollectionTest, IndexFromNameReportsTheFirstSlotOfTheObject) {
    auto members = AddMembers({u"a", u"b"});
    mv::Bstr alias(u"alias");
    ASSERT_EQ(collection_->Add(alias.get(), AsDispatch(members[0].get())), S_OK);
    EXPECT_EQ(Count(), 3);
    struct Case {
        const char16_t* name;
        LONG index;
        HRESULT hr;
    } cases[] = {{u"a", 1, S_OK}, {u"B", 2, S_OK}, {u"ALIAS", 1, S_OK}, {u"none", 0, E_FAIL}};
    for (const Case& c : cases) {
        SCOPED_TRACE(mv::ToUtf8(c.name));
        SetErrorInfo(0, nullptr);
        mv::Bstr name(c.name);
        LONG index = -5;
        EXPECT_EQ(collection_->IndexFromName(name.get(), &index), c.hr);
        EXPECT_EQ(index, c.index);
        EXPECT_EQ(TakeErrorText(), u"<none>");
    }
}

TEST_F(CollectionTest, ListNamesGivesEachMembersCurrentName) {
    VARIANT list;
    VariantInit(&list);
    list.vt = VT_I4;
    EXPECT_EQ(collection_->ListNames(&list), S_OK);
    EXPECT_EQ(list.vt, VT_EMPTY) << "an empty collection lists nothing";

    auto members = AddMembers({u"one", u"two", u"three"});
    auto bare = MakeMember<CBareMember>(u"bare");
    mv::Bstr bareName(u"bare");
    ASSERT_EQ(collection_->Add(bareName.get(), AsDispatch(bare.get())), S_OK);
    mv::Bstr renamed(u"Two Renamed");
    members[1]->put_Name(renamed.get());  // not through the collection
    members[2]->SetGetResult(E_OUTOFMEMORY);

    ASSERT_EQ(collection_->ListNames(&list), S_OK);
    ASSERT_EQ(list.vt, VT_ARRAY | VT_VARIANT);
    LONG lower = -1, upper = -1;
    SafeArrayGetLBound(list.parray, 1, &lower);
    SafeArrayGetUBound(list.parray, 1, &upper);
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(upper, 3);
    const char16_t* expected[] = {u"one", u"Two Renamed", nullptr, nullptr};
    for (LONG i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        mv::Variant element;
        ASSERT_EQ(SafeArrayGetElement(list.parray, &i, &element), S_OK);
        if (!expected[i]) {
            EXPECT_EQ(element.vt, VT_EMPTY);
        } else {
            ASSERT_EQ(element.vt, VT_BSTR);
            EXPECT_EQ(std::u16string(element.bstrVal), expected[i]);
        }
    }
    VariantClear(&list);

    // Lookups keep the name under which the member was filed.
    mv::ComPtr<IDispatch> item;
    mv::Bstr filed(u"two");
    EXPECT_EQ(collection_->ItemByName(filed.get(), item.Put()), S_OK);
    // A member without a name of its own cannot be renamed and stays filed.
    mv::Bstr free(u"free");
    EXPECT_EQ(collection_->Rename(bareName.get(), free.get()), E_NOINTERFACE);
    EXPECT_EQ(collection_->ItemByName(bareName.get(), item.Put()), S_OK);
}

TEST_F(CollectionTest, RenameRefilesOnlyWhenTheMemberTakesTheName) {
    struct Case {
        const char* what;
        const char16_t* oldName;
        const char16_t* newName;
        HRESULT putResult;
        HRESULT expected;
        const char16_t* error;
        const char16_t* filedAfter;  // the name that finds member 1 afterwards
    } cases[] = {
        {"plain", u"A", u"Z", S_OK, S_OK, u"<none>", u"z"},
        {"case only", u"A", u"a", S_OK, E_FAIL, u"Rename: NewName already used", u"A"},
        {"same name", u"A", u"A", S_OK, E_FAIL, u"Rename: NewName already used", u"A"},
        {"taken", u"A", u"b", S_OK, E_FAIL, u"Rename: NewName already used", u"A"},
        {"absent", u"Q", u"R", S_OK, E_FAIL, u"Item: Named item not found", u"A"},
        {"put refuses", u"A", u"Z", E_ACCESSDENIED, E_ACCESSDENIED, u"<none>", u"A"},
        {"put says S_FALSE", u"A", u"Z", S_FALSE, S_FALSE, u"<none>", u"A"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        collection_->RemoveAll();
        auto members = AddMembers({u"A", u"B"});
        members[0]->SetPutResult(c.putResult);
        SetErrorInfo(0, nullptr);
        mv::Bstr oldName(c.oldName), newName(c.newName), filed(c.filedAfter);
        EXPECT_EQ(collection_->Rename(oldName.get(), newName.get()), c.expected);
        EXPECT_EQ(TakeErrorText(), c.error);
        mv::ComPtr<IDispatch> item;
        EXPECT_EQ(collection_->ItemByName(filed.get(), item.Put()), S_OK);
        EXPECT_EQ(item.get(), AsDispatch(members[0].get()));
        EXPECT_EQ(NamesByPosition().size(), 2u);
        LONG index = 0;
        EXPECT_EQ(collection_->IndexFromName(filed.get(), &index), S_OK);
        EXPECT_EQ(index, 1) << "a renamed member keeps its position";
        if (c.expected == S_OK) {
            EXPECT_EQ(members[0]->name(), c.newName);
            mv::ComPtr<IDispatch> gone;
            EXPECT_EQ(collection_->ItemByName(oldName.get(), gone.Put()), E_FAIL);
        }
    }
}

// The member's put runs while the collection is unlocked: another caller may
// take the new name or remove the member meanwhile.
TEST_F(CollectionTest, RenameChecksAgainAfterTheMemberTookItsNewName) {
    struct Case {
        const char* what;
        void (*during)(IMvObjCollection* collection, IDispatch* intruder);
        HRESULT expected;
        const char16_t* findsMember;  // null: the member is no longer filed
        const char16_t* findsIntruder;
        const char16_t* memberName;  // the member's own name afterwards
    } cases[] = {
        {"untouched",
         [](IMvObjCollection* c, IDispatch*) {
             LONG n;
             c->get_Count(&n);
         },
         S_OK, u"new", nullptr, u"new"},
        {"new name taken",
         [](IMvObjCollection* c, IDispatch* intruder) {
             mv::Bstr n(u"NEW");
             c->Add(n.get(), intruder);
         },
         E_FAIL, u"old", u"new", u"old"},
        {"member removed",
         [](IMvObjCollection* c, IDispatch*) {
             mv::Bstr n(u"old");
             c->Remove(n.get());
         },
         E_FAIL, nullptr, nullptr, u"old"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        collection_->RemoveAll();
        auto members = AddMembers({u"old"});
        auto intruder = MakeMember<CTestMember>(u"intruder");
        IMvObjCollection* coll = collection_.get();
        IDispatch* other = AsDispatch(intruder.get());
        bool ran = false;
        members[0]->OnName([&] {
            if (!ran) c.during(coll, other);
            ran = true;
        });
        mv::Bstr oldName(u"old"), newName(u"new");
        SetErrorInfo(0, nullptr);
        EXPECT_EQ(collection_->Rename(oldName.get(), newName.get()), c.expected);
        if (FAILED(c.expected)) {
            EXPECT_EQ(TakeErrorText(), u"Rename: NewName already used");
        }
        LONG count = 0;
        collection_->get_Count(&count);
        EXPECT_EQ(count, (c.findsMember ? 1 : 0) + (c.findsIntruder ? 1 : 0));
        if (c.findsMember) {
            mv::Bstr n(c.findsMember);
            mv::ComPtr<IDispatch> item;
            EXPECT_EQ(collection_->ItemByName(n.get(), item.Put()), S_OK);
            EXPECT_EQ(item.get(), AsDispatch(members[0].get()));
        }
        if (c.findsIntruder) {
            mv::Bstr n(c.findsIntruder);
            mv::ComPtr<IDispatch> item;
            EXPECT_EQ(collection_->ItemByName(n.get(), item.Put()), S_OK);
            EXPECT_EQ(item.get(), other);
        }
        EXPECT_EQ(members[0]->name(), std::u16string(c.memberName));
        members[0]->OnName(nullptr);
    }
}

// A member that calls back into its collection while it reports its name
// must not find the collection locked.
TEST_F(CollectionTest, MembersAreAskedForTheirNamesWhileTheCollectionIsUnlocked) {
    auto member = MakeMember<CTestMember>(u"m");
    IMvObjCollection* coll = collection_.get();
    int callbacks = 0;
    member->OnName([&] {
        LONG n;
        EXPECT_EQ(coll->get_Count(&n), S_OK);
        ++callbacks;
    });
    EXPECT_EQ(collection_->AddObject(AsDispatch(member.get())), S_OK);
    VARIANT names;
    VariantInit(&names);
    EXPECT_EQ(collection_->ListNames(&names), S_OK);
    VariantClear(&names);
    mv::Bstr oldName(u"m"), newName(u"n");
    EXPECT_EQ(collection_->Rename(oldName.get(), newName.get()), S_OK);
    EXPECT_EQ(callbacks, 4);  // AddObject, ListNames, Rename: the old name read and the new one set
    member->OnName(nullptr);
}

TEST_F(CollectionTest, EnumeratorIsASnapshotThatKeepsItsMembersAlive) {
    {
        mv::ComPtr<IEnumVARIANT> empty = NewEnum(collection_.get());
        ASSERT_TRUE(empty);
        VARIANT v;
        VariantInit(&v);
        ULONG fetched = 9;
        EXPECT_EQ(empty->Next(1, &v, &fetched), S_FALSE);
        EXPECT_EQ(fetched, 0u);
    }
    mv::ComPtr<IEnumVARIANT> enumerator;
    {
        auto members = AddMembers({u"a", u"b"});
        enumerator = NewEnum(collection_.get());
        ASSERT_TRUE(enumerator);
        ASSERT_EQ(collection_->RemoveAll(), S_OK);
    }
    EXPECT_EQ(g_liveMembers.load(), 2) << "the enumerator holds the former members";
    std::vector<std::u16string> seen;
    VARIANT v;
    VariantInit(&v);
    while (enumerator->Next(1, &v, nullptr) == S_OK) {
        EXPECT_EQ(v.vt, VT_DISPATCH);
        mv::Variant name;
        mv::DispGetPropertyByName(v.pdispVal, u"Name", &name);
        seen.emplace_back(name.bstrVal);
        VariantClear(&v);
    }
    EXPECT_EQ(seen, (std::vector<std::u16string>{u"a", u"b"}));
    enumerator.Reset();
    EXPECT_EQ(g_liveMembers.load(), 0);
}

TEST_F(CollectionTest, AddObjectFilesUnderTheReportedName) {
    auto named = MakeMember<CTestMember>(u"Named");
    auto twin = MakeMember<CTestMember>(u"NAMED");
    auto failing = MakeMember<CTestMember>(u"failing");
    failing->SetGetResult(E_OUTOFMEMORY);
    auto bare = MakeMember<CBareMember>(u"bare");

    LogWatch watch;
    EXPECT_EQ(collection_->AddObject(AsDispatch(named.get())), S_OK);
    EXPECT_EQ(collection_->AddObject(AsDispatch(twin.get())), S_OK) << "a duplicate is left out";
    EXPECT_EQ(collection_->AddObject(AsDispatch(failing.get())), E_OUTOFMEMORY);
    EXPECT_EQ(collection_->AddObject(AsDispatch(bare.get())), E_NOINTERFACE);
    EXPECT_EQ(Count(), 1);
    std::string log = watch.Text();
    EXPECT_EQ(Occurrences(log,
                          "CMvObjCollection::AddObject: Add: Item is already in collection; "
                          "object \"NAMED\" was not added"),
              1)
        << log;
}

TEST_F(CollectionTest, LateBoundCallersReachEveryOperationByItsDispid) {
    IDispatch* disp = static_cast<IMvObjCollection*>(collection_.get());
    struct Case {
        const char16_t* name;
        DISPID id;
    } cases[] = {{u"Item", DISPID_VALUE}, {u"Add", 1},
                 {u"Count", 2},           {u"_NewEnum", DISPID_NEWENUM},
                 {u"Remove", 5},          {u"RemoveAll", 6},
                 {u"ItemByIndex", 7},     {u"ItemByName", 8},
                 {u"IndexFromName", 9},   {u"ListNames", 10},
                 {u"Rename", 11}};
    for (const Case& c : cases) {
        SCOPED_TRACE(mv::ToUtf8(c.name));
        LPOLESTR names[] = {const_cast<LPOLESTR>(c.name)};
        DISPID id = 12345;
        EXPECT_EQ(disp->GetIDsOfNames(IID_NULL, names, 1, 1033, &id), S_OK);
        EXPECT_EQ(id, c.id);
    }
    auto members = AddMembers({u"a", u"b"});
    mv::Variant key(u"B"), item;
    EXPECT_EQ(mv::DispInvokeMethod(disp, DISPID_VALUE, &key, 1, &item), S_OK);
    ASSERT_EQ(item.vt, VT_DISPATCH);
    EXPECT_EQ(item.pdispVal, AsDispatch(members[1].get()));
}

// Error information is offered for the collection's own interface only.
TEST_F(CollectionTest, SupportsErrorInformationForItsOwnInterfaceOnly) {
    mv::ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(collection_->QueryInterface(IID_ISupportErrorInfo, support.PutVoid()), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IMvObjCollection), S_OK);
    for (const IID* iid : {&IID_IDispatch, &IID_IPersistStream, &IID_IMvPersistXML})
        EXPECT_EQ(support->InterfaceSupportsErrorInfo(*iid), S_FALSE);
}

// Item, Rename and AddObject run ItemByIndex, ItemByName and Add in their own
// frames; an operation that
// reports an error text leaves out its closing line.
TEST_F(CollectionTest, ErrorsEndTheMethodTraceEarly) {
    LogWatch watch(/*methods=*/true);
    mv::Bstr absent(u"absent");
    collection_->Remove(absent.get());
    LONG count = 0;
    collection_->get_Count(&count);
    mv::Variant position(LONG{5}), name(u"absent"), item;
    collection_->Item(position, &item);
    collection_->Item(name, &item);
    auto member = MakeMember<CTestMember>(u"m");
    collection_->AddObject(AsDispatch(member.get()));
    mv::Bstr newName(u"n");
    collection_->Rename(absent.get(), newName.get());
    std::string log = watch.Text();
    struct Case {
        const char* line;
        int times;
    } cases[] = {
        {"CMvObjCollection::Remove: Method - Start", 1},
        {"CMvObjCollection::Remove: Method - End", 0},
        {"CMvObjCollection::get_Count: Method - End (S_OK)", 1},
        {"CMvObjCollection::Item: Method - Start", 2},
        {"CMvObjCollection::Item: Method - End", 2},
        {"CMvObjCollection::ItemByIndex: Method - Start", 1},
        {"CMvObjCollection::ItemByName: Method - Start", 2},
        {"CMvObjCollection::Add: Method - Start", 1},
        {"CMvObjCollection::ItemByIndex: Method - End", 0},
        {"CMvObjCollection::ItemByName: Method - End", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Occurrences(log, c.line), c.times) << c.line << "\n" << log;
}

}  // namespace
}  // namespace collection_test

namespace name_index_test {

// Distinct fake members: the index never calls them.
IDispatch* Member(int i) {
    return reinterpret_cast<IDispatch*>(static_cast<uintptr_t>(0x1000 + 16 * i));
}

// The index against a map: inserts, erasures and look-ups in a scrambled
// order, with the whole universe of keys checked after every step, so that an
// entry lost or left unreachable by a removal or a growth shows at once.
TEST(NameIndexTest, AgreesWithAMapThroughInsertsAndErasures) {
    struct Case {
        const char* what;
        int keys;
        int steps;
        int checkEvery;
    };
    const Case cases[] = {
        {"a few keys in a small table, runs wrapping its end", 24, 4000, 1},
        {"thousands of keys through several growths", 3000, 20000, 997},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MvNameIndex index;
        std::map<std::string, IDispatch*> model;
        uint32_t state = 12345;
        auto next = [&state] {
            state = state * 1103515245u + 12345u;
            return state >> 8;
        };
        auto check = [&] {
            ASSERT_EQ(index.Size(), model.size());
            for (int k = 0; k < c.keys; ++k) {
                const std::string key = "NAME" + std::to_string(k);
                auto it = model.find(key);
                ASSERT_EQ(index.Find(key), it == model.end() ? nullptr : it->second) << key;
            }
        };
        for (int step = 0; step < c.steps; ++step) {
            const int k = static_cast<int>(next() % c.keys);
            const std::string key = "NAME" + std::to_string(k);
            // Inserts outnumber erasures, so the table fills and grows.
            if (next() % 3 != 0) {
                const bool fresh = model.emplace(key, Member(step)).second;
                ASSERT_EQ(index.Insert(key, Member(step)), fresh) << key;
            } else {
                ASSERT_EQ(index.Erase(key), model.erase(key) == 1) << key;
            }
            if (step % c.checkEvery == 0) check();
        }
        check();
        index.Clear();
        model.clear();
        check();
        EXPECT_TRUE(index.Insert("NAME0", Member(1)));
        EXPECT_EQ(index.Find("NAME0"), Member(1));
    }
}

}  // namespace name_index_test
