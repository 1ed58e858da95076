// CMvCalcProperty and CMvCalcProperties: names in any script, the entry's own
// child list, the 1-based list, and the release of whole trees.
#include <gtest/gtest.h>

#include <string>

#include "persistence/calc_property.h"
#include "values_test_support.h"

namespace {

using values_test::LogCapture;
using values_test::ServedClass;
using values_test::TakeErrorInfo;

class CalcPropertiesTest : public ::testing::Test {
protected:
    mv::ComPtr<IMvCalcProperty> NewProperty() {
        mv::ComPtr<IMvCalcProperty> p;
        EXPECT_EQ(mv::CreateComObject<CMvCalcProperty>(nullptr, IID_IMvCalcProperty, p.PutVoid()),
                  S_OK);
        return p;
    }
    static mv::ComPtr<IMvCalcProperties> ChildrenOf(IMvCalcProperty* p) {
        mv::ComPtr<IMvCalcProperties> children;
        EXPECT_EQ(p->get_Properties(children.Put()), S_OK);
        return children;
    }
    static LONG CountOf(IMvCalcProperties* list) {
        LONG n = -1;
        EXPECT_EQ(list->get_Count(&n), S_OK);
        return n;
    }
    static std::u16string NameOf(IMvCalcProperty* p) {
        mv::Bstr name;
        EXPECT_EQ(p->get_Name(name.Out()), S_OK);
        EXPECT_NE(name.get(), nullptr) << "an empty name is an empty BSTR, never null";
        return std::u16string(name.view());
    }

    ServedClass served_ = ServedClass::Of<CMvCalcProperties>(CLSID_MvCalcProperties);
};

TEST_F(CalcPropertiesTest, NewEntryHasNoNameNoCountAndAnEmptyChildList) {
    auto p = NewProperty();
    EXPECT_EQ(NameOf(p.get()), u"");
    LONG count = -1;
    ASSERT_EQ(p->get_ParameterCount(&count), S_OK);
    EXPECT_EQ(count, 0);
    ASSERT_EQ(p->put_ParameterCount(-1), S_OK);
    ASSERT_EQ(p->get_ParameterCount(&count), S_OK);
    EXPECT_EQ(count, -1);
    auto children = ChildrenOf(p.get());
    ASSERT_TRUE(children);
    EXPECT_EQ(CountOf(children.get()), 0);
}

TEST_F(CalcPropertiesTest, NamesRoundTripWhateverTheirEncodedLength) {
    // Texts whose narrow form needs up to three bytes per UTF-16 unit (and
    // four per surrogate pair) must come back whole.
    std::u16string threeBytes(300, u'\u20AC');
    std::u16string pairs;
    for (int i = 0; i < 100; ++i) pairs += u"\U0001F600";
    struct Case {
        const char* what;
        std::u16string in;
        std::u16string out;
    } cases[] = {
        {"ASCII", u"Flow", u"Flow"},
        {"empty", u"", u""},
        {"two-byte letters", u"\u00C4\u00F6\u00DF", u"\u00C4\u00F6\u00DF"},
        {"three-byte characters", threeBytes, threeBytes},
        {"surrogate pairs", pairs, pairs},
        {"cut at the first zero", std::u16string(u"ab\0cd", 5), u"ab"},
        {"an unpaired surrogate becomes U+FFFD", u"x\xD800y", u"x\uFFFDy"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto p = NewProperty();
        ASSERT_EQ(p->put_Name(mv::Bstr(u"old").get()), S_OK);
        ASSERT_EQ(p->put_Name(mv::Bstr(std::u16string_view(c.in)).get()), S_OK);
        EXPECT_EQ(NameOf(p.get()), c.out);
    }
    auto p = NewProperty();
    ASSERT_EQ(p->put_Name(mv::Bstr(u"old").get()), S_OK);
    ASSERT_EQ(p->put_Name(nullptr), S_OK);
    EXPECT_EQ(NameOf(p.get()), u"");
}

TEST_F(CalcPropertiesTest, EveryReadOfPropertiesGivesTheSameList) {
    auto p = NewProperty();
    auto first = ChildrenOf(p.get());
    auto second = ChildrenOf(p.get());
    EXPECT_EQ(first, second);
    auto child = NewProperty();
    ASSERT_EQ(first->Add(child.get()), S_OK);
    EXPECT_EQ(CountOf(second.get()), 1);
    EXPECT_EQ(p->get_Properties(nullptr), S_OK);
}

TEST_F(CalcPropertiesTest, NullPointersGiveUnexpectedWithAnErrorLine) {
    auto p = NewProperty();
    auto list = ChildrenOf(p.get());
    values_test::ExpectFaults({
        {"CMvCalcProperty::get_Name: E_UNEXPECTED\n", [&] { return p->get_Name(nullptr); }},
        {"CMvCalcProperty::get_ParameterCount: E_UNEXPECTED\n",
         [&] { return p->get_ParameterCount(nullptr); }},
        {"CMvCalcProperties::Add: E_UNEXPECTED\n", [&] { return list->Add(nullptr); }},
        {"CMvCalcProperties::get_Count: E_UNEXPECTED\n", [&] { return list->get_Count(nullptr); }},
        {"CMvCalcProperties::Item: E_UNEXPECTED\n", [&] { return list->Item(1, nullptr); }},
    });
    EXPECT_EQ(CountOf(list.get()), 0);
}

TEST_F(CalcPropertiesTest, ItemOutOfRangeFailsWithErrorInformation) {
    auto list = ChildrenOf(NewProperty().get());
    auto entry = NewProperty();
    for (int added = 0; added < 2; ++added) {
        LONG count = CountOf(list.get());
        for (LONG index : {LONG{0}, count + 1, LONG{INT32_MIN}}) {
            SCOPED_TRACE(testing::Message() << "count " << count << " index " << index);
            IMvCalcProperty* item = entry.get();
            EXPECT_EQ(list->Item(index, &item), E_FAIL);
            EXPECT_EQ(item, nullptr);
            auto info = TakeErrorInfo();
            EXPECT_EQ(info.description, u"Item: Index out of range");
            EXPECT_EQ(info.source, u"Morva.Calc.CalcProperties.1");
            EXPECT_TRUE(IsEqualIID(info.iid, IID_IMvCalcProperties));
        }
        ASSERT_EQ(list->Add(entry.get()), S_OK);
    }
}

TEST_F(CalcPropertiesTest, DuplicatesTakeTwoSlotsAndRemoveAllGivesBothBack) {
    auto list = ChildrenOf(NewProperty().get());
    auto entry = NewProperty();
    ASSERT_EQ(list->Add(entry.get()), S_OK);
    ASSERT_EQ(list->Add(entry.get()), S_OK);
    EXPECT_EQ(CountOf(list.get()), 2);
    for (LONG index : {1, 2}) {
        mv::ComPtr<IMvCalcProperty> item;
        ASSERT_EQ(list->Item(index, item.Put()), S_OK);
        EXPECT_EQ(item, entry);
    }
    EXPECT_EQ(entry->AddRef(), 4u);  // ours, two slots, this one
    entry->Release();

    LogCapture log(/*methods=*/true, /*steps=*/true);
    ASSERT_EQ(list->RemoveAll(), S_OK);
    EXPECT_EQ(log.Lines(),
              "\nCMvCalcProperties::RemoveAll: Method - Start\n"
              "CMvCalcProperties::ClearCollection( Function - Start )\n"
              "CMvCalcProperties::ClearCollection( Function - End )\n"
              "CMvCalcProperties::RemoveAll: Method - End (S_OK)\n");
    EXPECT_EQ(CountOf(list.get()), 0);
    IMvCalcProperty* item = nullptr;
    EXPECT_EQ(list->Item(1, &item), E_FAIL);
    EXPECT_EQ(entry->AddRef(), 2u);
    entry->Release();
    EXPECT_EQ(entry->put_ParameterCount(3), S_OK);  // detached, still usable
}

TEST_F(CalcPropertiesTest, ReleasingTheTopEntryReleasesTheWholeTree) {
    const LONG liveBefore = mv::ModuleLockCount();
    {
        auto top = NewProperty();
        mv::ComPtr<IMvCalcProperty> parent = top;
        for (int depth = 0; depth < 3; ++depth) {
            auto child = NewProperty();
            ASSERT_EQ(child->put_Name(mv::Bstr(u"level").get()), S_OK);
            ASSERT_EQ(ChildrenOf(parent.get())->Add(child.get()), S_OK);
            parent = child;
        }
        // Four entries, each with its own list.
        EXPECT_EQ(mv::ModuleLockCount(), liveBefore + 8);
    }
    EXPECT_EQ(mv::ModuleLockCount(), liveBefore);
}

// A class object whose every creation fails with E_OUTOFMEMORY.
class RefusingFactory : public mv::ComObjectRoot<RefusingFactory>, public IClassFactory {
public:
    using InterfaceMap = mv::Interfaces<IClassFactory>;
    HRESULT CreateInstance(IUnknown*, REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_OUTOFMEMORY;
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
};

TEST_F(CalcPropertiesTest, EntryCannotBeMadeWithoutItsChildList) {
    { ServedClass none = std::move(served_); }
    mv::ComPtr<mv::ComObject<RefusingFactory>> factory;
    ASSERT_EQ(mv::MakeComObject<RefusingFactory>(&factory), S_OK);
    ServedClass refusing(CLSID_MvCalcProperties, static_cast<IClassFactory*>(factory.get()));
    mv::ComPtr<IMvCalcProperty> p;
    EXPECT_EQ(mv::CreateComObject<CMvCalcProperty>(nullptr, IID_IMvCalcProperty, p.PutVoid()),
              E_OUTOFMEMORY);
    EXPECT_FALSE(p);
}

TEST_F(CalcPropertiesTest, DispatchIdentifiersAndLateBoundCalls) {
    auto p = NewProperty();
    auto list = ChildrenOf(p.get());
    struct Case {
        IDispatch* target;
        const char16_t* name;
        DISPID id;
    } cases[] = {
        {p.get(), u"Name", 1},         {p.get(), u"ParameterCount", 2}, {p.get(), u"Properties", 3},
        {list.get(), u"Item", 0},      {list.get(), u"Add", 1},         {list.get(), u"Count", 2},
        {list.get(), u"RemoveAll", 6},
    };
    for (const Case& c : cases) {
        DISPID id = -12345;
        EXPECT_EQ(mv::DispGetIDOfName(c.target, c.name, &id), S_OK) << mv::ToUtf8(c.name);
        EXPECT_EQ(id, c.id) << mv::ToUtf8(c.name);
    }
    // Late bound: the child list as an object, then its default member.
    mv::Variant children;
    ASSERT_EQ(mv::DispGetProperty(p.get(), 3, &children), S_OK);
    ASSERT_EQ(children.vt, VT_DISPATCH);
    mv::Variant entry;
    entry.vt = VT_DISPATCH;
    entry.pdispVal = NewProperty().Detach();
    ASSERT_EQ(mv::DispInvokeMethod(children.pdispVal, 1, &entry, 1, nullptr), S_OK);
    EXPECT_EQ(CountOf(list.get()), 1);
}

}  // namespace
