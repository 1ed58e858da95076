// CMvCalcProperty: names in any script, the entry's own child list, and the
// release of whole trees.
#include <gtest/gtest.h>

#include <string>

#include "persistence/calc_property.h"
#include "values_test_support.h"

namespace {

using values_test::ServedClass;

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

TEST_F(CalcPropertiesTest, NullOutPointersGiveUnexpectedWithAnErrorLine) {
    auto p = NewProperty();
    values_test::ExpectFaults({
        {"CMvCalcProperty::get_Name: E_UNEXPECTED\n", [&] { return p->get_Name(nullptr); }},
        {"CMvCalcProperty::get_ParameterCount: E_UNEXPECTED\n",
         [&] { return p->get_ParameterCount(nullptr); }},
    });
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

}  // namespace
