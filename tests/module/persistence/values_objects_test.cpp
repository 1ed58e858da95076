// CMvCalcValue and CMvCalcValues: fields, value copies, resizing with fresh
// elements, failures and what the log shows of them; and what the list of
// values shares with the list of properties.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "persistence/calc_property.h"
#include "persistence/calc_value.h"
#include "values_test_support.h"

namespace {

using values_test::LogCapture;
using values_test::ServedClass;
using values_test::TakeErrorInfo;

mv::ComPtr<IMvCalcValue> NewValue() {
    mv::ComPtr<IMvCalcValue> v;
    EXPECT_EQ(mv::CreateComObject<CMvCalcValue>(nullptr, IID_IMvCalcValue, v.PutVoid()), S_OK);
    return v;
}

mv::ComPtr<IMvCalcValues> NewValues() {
    mv::ComPtr<IMvCalcValues> v;
    EXPECT_EQ(mv::CreateComObject<CMvCalcValues>(nullptr, IID_IMvCalcValues, v.PutVoid()), S_OK);
    return v;
}

LONG CountOf(IMvCalcValues* values) {
    LONG n = -1;
    EXPECT_EQ(values->get_Count(&n), S_OK);
    return n;
}

mv::ComPtr<IMvCalcValue> ItemOf(IMvCalcValues* values, LONG index) {
    mv::ComPtr<IMvCalcValue> item;
    EXPECT_EQ(values->Item(index, item.Put()), S_OK) << "index " << index;
    return item;
}

struct Fields {
    mv::Variant value;
    SHORT level = -99;
    SHORT status = -99;
    DATE time = -99.0;
};
Fields Read(IMvCalcValue* v) {
    Fields f;
    EXPECT_EQ(v->get_Value(&f.value), S_OK);
    EXPECT_EQ(v->get_Level(&f.level), S_OK);
    EXPECT_EQ(v->get_Status(&f.status), S_OK);
    EXPECT_EQ(v->get_TimeStamp(&f.time), S_OK);
    return f;
}

// A class object for CMvCalcValue that makes `good` values and then fails
// with `failure`.
class FailingValueFactory : public mv::ComObjectRoot<FailingValueFactory>, public IClassFactory {
public:
    using InterfaceMap = mv::Interfaces<IClassFactory>;
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (made_++ >= good) {
            *ppv = nullptr;
            return failure;
        }
        return mv::CreateComObject<CMvCalcValue>(outer, riid, ppv);
    }
    HRESULT LockServer(BOOL) override { return S_OK; }

    int good = 0;
    HRESULT failure = E_OUTOFMEMORY;

private:
    int made_ = 0;
};

class CalcValuesTest : public ::testing::Test {
protected:
    ServedClass served_ = ServedClass::Of<CMvCalcValue>(CLSID_MvCalcValue);
};

TEST_F(CalcValuesTest, NewValueStartsEmptyWithZeroQualityAndTime) {
    Fields f = Read(NewValue().get());
    EXPECT_EQ(f.value.vt, VT_EMPTY);
    EXPECT_EQ(f.level, 0);
    EXPECT_EQ(f.status, 0);
    EXPECT_EQ(f.time, 0.0);
}

TEST_F(CalcValuesTest, PutValueStoresResolvedCopiesAndNullEmpties) {
    LONG referenced = 7;
    VARIANT byRefI4;
    byRefI4.vt = VT_BYREF | VT_I4;
    byRefI4.plVal = &referenced;
    mv::Variant inner(u"text");
    VARIANT byRefVariant;
    byRefVariant.vt = VT_BYREF | VT_VARIANT;
    byRefVariant.pvarVal = &inner;
    VARIANT null;
    null.vt = VT_NULL;

    struct Case {
        const char* what;
        VARIANT in;
        VARTYPE vt;
    } cases[] = {
        {"VT_NULL empties", null, VT_EMPTY},
        {"VT_BYREF|VT_I4 stores the number", byRefI4, VT_I4},
        {"VT_BYREF|VT_VARIANT stores what it points to", byRefVariant, VT_BSTR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto v = NewValue();
        ASSERT_EQ(v->put_Value(mv::Variant(LONG{1})), S_OK);
        ASSERT_EQ(v->put_Value(c.in), S_OK);
        referenced = 8;  // a later change of the caller's variable must not show
        mv::Variant out;
        ASSERT_EQ(v->get_Value(&out), S_OK);
        EXPECT_EQ(out.vt, c.vt);
        if (c.vt == VT_I4) {
            EXPECT_EQ(out.lVal, 7);
        }
        if (c.vt == VT_BSTR) {
            EXPECT_EQ(mv::Bstr(out.bstrVal).view(), u"text");
        }
        referenced = 7;
    }
}

TEST_F(CalcValuesTest, SetParameterValuesChangesOnlyTheFieldsGiven) {
    mv::Variant newValue(u"v");
    SHORT level = 3, status = -6;
    DATE time = 45000.25;
    struct Case {
        const char* what;
        VARIANT* value;
        SHORT* level;
        SHORT* status;
        DATE* time;
        VARTYPE vt;
        SHORT expLevel, expStatus;
        DATE expTime;
    } cases[] = {
        {"nothing", nullptr, nullptr, nullptr, nullptr, VT_I4, 1, 2, 10.0},
        {"level alone", nullptr, &level, nullptr, nullptr, VT_I4, 3, 2, 10.0},
        {"status alone keeps the level", nullptr, nullptr, &status, nullptr, VT_I4, 1, -6, 10.0},
        {"value alone", &newValue, nullptr, nullptr, nullptr, VT_BSTR, 1, 2, 10.0},
        {"all four", &newValue, &level, &status, &time, VT_BSTR, 3, -6, 45000.25},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto v = NewValue();
        mv::Variant start(LONG{5});
        SHORT l = 1, s = 2;
        DATE t = 10.0;
        ASSERT_EQ(v->SetParameterValues(&start, &l, &s, &t), S_OK);
        ASSERT_EQ(v->SetParameterValues(c.value, c.level, c.status, c.time), S_OK);
        Fields f = Read(v.get());
        EXPECT_EQ(f.value.vt, c.vt);
        EXPECT_EQ(f.level, c.expLevel);
        EXPECT_EQ(f.status, c.expStatus);
        EXPECT_EQ(f.time, c.expTime);
    }
}

TEST_F(CalcValuesTest, NullOutPointersAndANegativeSizeGiveUnexpectedWithAnErrorLine) {
    auto v = NewValue();
    auto list = NewValues();
    values_test::ExpectFaults({
        {"CMvCalcValue::get_Value: E_UNEXPECTED\n", [&] { return v->get_Value(nullptr); }},
        {"CMvCalcValue::get_Level: E_UNEXPECTED\n", [&] { return v->get_Level(nullptr); }},
        {"CMvCalcValue::get_Status: E_UNEXPECTED\n", [&] { return v->get_Status(nullptr); }},
        {"CMvCalcValue::get_TimeStamp: E_UNEXPECTED\n", [&] { return v->get_TimeStamp(nullptr); }},
        {"CMvCalcValues::SetSize: E_UNEXPECTED\n", [&] { return list->SetSize(-1); }},
    });
    EXPECT_EQ(CountOf(list.get()), 0);
}

// What the list of values and the list of properties share: one reference
// per slot, positions from 1, the out-of-range error and the clearing.
struct ValuesList {
    using List = IMvCalcValues;
    using Element = IMvCalcValue;
    using ListClass = CMvCalcValues;
    using ElementClass = CMvCalcValue;
    static constexpr const char* kName = "CMvCalcValues";
    static constexpr const char16_t* kProgId = u"Morva.Calc.Values.1";
    static constexpr const char* kRemoveAllTrace =
        "\nCMvCalcValues::RemoveAll: Method - Start\n"
        "\nCMvCalcValues::SetSize: Method - Start\n"
        "CMvCalcValues::SetSize: Method - End (S_OK)\n"
        "CMvCalcValues::RemoveAll: Method - End (S_OK)\n";
    static constexpr const char* kFinalReleaseTrace =
        "CMvCalcValues::FinalRelease( Function - Start )\n"
        "\nCMvCalcValues::SetSize: Method - Start\n"
        "CMvCalcValues::SetSize: Method - End (S_OK)\n"
        "CMvCalcValues::FinalRelease( Function - End )\n";
};
struct PropertiesList {
    using List = IMvCalcProperties;
    using Element = IMvCalcProperty;
    using ListClass = CMvCalcProperties;
    using ElementClass = CMvCalcProperty;
    static constexpr const char* kName = "CMvCalcProperties";
    static constexpr const char16_t* kProgId = u"Morva.Calc.CalcProperties.1";
    static constexpr const char* kRemoveAllTrace =
        "\nCMvCalcProperties::RemoveAll: Method - Start\n"
        "CMvCalcProperties::ClearCollection( Function - Start )\n"
        "CMvCalcProperties::ClearCollection( Function - End )\n"
        "CMvCalcProperties::RemoveAll: Method - End (S_OK)\n";
    static constexpr const char* kFinalReleaseTrace =
        "CMvCalcProperties::ClearCollection( Function - Start )\n"
        "CMvCalcProperties::ClearCollection( Function - End )\n";
};

template <class T>
class CalcListsTest : public ::testing::Test {
protected:
    using List = typename T::List;
    using Element = typename T::Element;

    static mv::ComPtr<List> NewList() {
        mv::ComPtr<List> list;
        EXPECT_EQ(mv::CreateComObject<typename T::ListClass>(nullptr, mv::IidOf<List>::value,
                                                             list.PutVoid()),
                  S_OK);
        return list;
    }
    static mv::ComPtr<Element> NewElement() {
        mv::ComPtr<Element> e;
        EXPECT_EQ(mv::CreateComObject<typename T::ElementClass>(nullptr, mv::IidOf<Element>::value,
                                                                e.PutVoid()),
                  S_OK);
        return e;
    }
    static LONG Count(List* list) {
        LONG n = -1;
        EXPECT_EQ(list->get_Count(&n), S_OK);
        return n;
    }

    // A property makes its child list through the runtime.
    ServedClass properties_ = ServedClass::Of<CMvCalcProperties>(CLSID_MvCalcProperties);
};
using ListTypes = ::testing::Types<ValuesList, PropertiesList>;
TYPED_TEST_SUITE(CalcListsTest, ListTypes);

TYPED_TEST(CalcListsTest, ItemOutOfRangeFailsWithErrorInformation) {
    auto list = this->NewList();
    auto one = this->NewElement();
    for (LONG count : {0, 2}) {
        for (LONG index : {LONG{0}, count + 1, LONG{-1}, LONG{INT32_MIN}, LONG{INT32_MAX}}) {
            SCOPED_TRACE(testing::Message() << "count " << count << " index " << index);
            typename TypeParam::Element* item = one.get();
            EXPECT_EQ(list->Item(index, &item), E_FAIL);
            EXPECT_EQ(item, nullptr);
            auto info = TakeErrorInfo();
            EXPECT_TRUE(info.present);
            EXPECT_EQ(info.description, u"Item: Index out of range");
            EXPECT_EQ(info.source, TypeParam::kProgId);
            EXPECT_TRUE(IsEqualIID(info.iid, mv::IidOf<typename TypeParam::List>::value));
        }
        ASSERT_EQ(list->Add(one.get()), S_OK);
        ASSERT_EQ(list->Add(one.get()), S_OK);
    }
}

TYPED_TEST(CalcListsTest, NullPointersGiveUnexpectedWithAnErrorLine) {
    auto list = this->NewList();
    const std::string name = TypeParam::kName;
    const std::string add = name + "::Add: E_UNEXPECTED\n";
    const std::string count = name + "::get_Count: E_UNEXPECTED\n";
    const std::string item = name + "::Item: E_UNEXPECTED\n";
    values_test::ExpectFaults({
        {add.c_str(), [&] { return list->Add(nullptr); }},
        {count.c_str(), [&] { return list->get_Count(nullptr); }},
        {item.c_str(), [&] { return list->Item(1, nullptr); }},
    });
    EXPECT_EQ(this->Count(list.get()), 0);
}

TYPED_TEST(CalcListsTest, EachSlotHoldsAReferenceUntilTheListIsCleared) {
    auto list = this->NewList();
    auto a = this->NewElement();
    auto b = this->NewElement();
    ASSERT_EQ(list->Add(a.get()), S_OK);
    ASSERT_EQ(list->Add(b.get()), S_OK);
    ASSERT_EQ(list->Add(a.get()), S_OK);  // no duplicate check
    EXPECT_EQ(this->Count(list.get()), 3);
    const std::pair<LONG, typename TypeParam::Element*> slots[] = {
        {1, a.get()}, {2, b.get()}, {3, a.get()}};
    for (const auto& [index, expected] : slots) {
        mv::ComPtr<typename TypeParam::Element> item;
        ASSERT_EQ(list->Item(index, item.Put()), S_OK);
        EXPECT_EQ(item.get(), expected) << index;
    }
    EXPECT_EQ(a->AddRef(), 4u);  // ours, two slots, this one
    a->Release();
    {
        LogCapture log(/*methods=*/true, /*steps=*/true);
        ASSERT_EQ(list->RemoveAll(), S_OK);
        EXPECT_EQ(log.Lines(), TypeParam::kRemoveAllTrace);
    }
    EXPECT_EQ(this->Count(list.get()), 0);
    EXPECT_EQ(a->AddRef(), 2u);  // detached, still alive
    a->Release();

    ASSERT_EQ(list->Add(a.get()), S_OK);
    LogCapture log(/*methods=*/true, /*steps=*/true);
    list.Reset();
    EXPECT_EQ(log.Lines(), TypeParam::kFinalReleaseTrace);
    EXPECT_EQ(a->AddRef(), 2u);
    a->Release();
}

TEST_F(CalcValuesTest, SetSizeGrowsWithFreshElementsAndShrinksFromTheEnd) {
    auto list = NewValues();
    const LONG liveBefore = mv::ModuleLockCount();
    ASSERT_EQ(list->SetSize(3), S_OK);
    ASSERT_EQ(CountOf(list.get()), 3);
    auto first = ItemOf(list.get(), 1);
    auto second = ItemOf(list.get(), 2);
    auto third = ItemOf(list.get(), 3);
    EXPECT_FALSE(first == second);
    EXPECT_FALSE(second == third);
    EXPECT_FALSE(first == third);
    Fields fresh = Read(third.get());
    EXPECT_EQ(fresh.value.vt, VT_EMPTY);
    EXPECT_EQ(fresh.level, 0);
    ASSERT_EQ(first->put_Value(mv::Variant(LONG{42})), S_OK);
    second.Reset();
    third.Reset();
    EXPECT_EQ(mv::ModuleLockCount(), liveBefore + 3);

    struct Step {
        LONG size;
        HRESULT hr;
        LONG count;
        LONG live;  // objects of the module alive beyond those before
    } steps[] = {
        {1, S_OK, 1, 1}, {1, S_OK, 1, 1}, {-1, E_UNEXPECTED, 1, 1}, {1048577, E_UNEXPECTED, 1, 1},
        {4, S_OK, 4, 4}, {0, S_OK, 0, 1},  // `first` is still held here
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.size);
        EXPECT_EQ(list->SetSize(s.size), s.hr);
        EXPECT_EQ(CountOf(list.get()), s.count);
        EXPECT_EQ(mv::ModuleLockCount(), liveBefore + s.live);
        if (s.count >= 1) {
            EXPECT_EQ(ItemOf(list.get(), 1), first);
            Fields kept = Read(first.get());
            EXPECT_EQ(kept.value.lVal, 42);
        }
    }
}

TEST_F(CalcValuesTest, SetSizeWithoutAClassObjectLeavesEmptySlots) {
    auto list = NewValues();
    ASSERT_EQ(list->SetSize(1), S_OK);
    {
        // Nothing serves the value class from here on.
        ServedClass none = std::move(served_);
    }
    // Whatever the runtime answers now (other tests may have left the class
    // registered to a module file that cannot be loaded) is what SetSize gives.
    mv::ComPtr<IClassFactory> factory;
    const HRESULT unavailable = CoGetClassObject(CLSID_MvCalcValue, CLSCTX_INPROC_SERVER, nullptr,
                                                 IID_IClassFactory, factory.PutVoid());
    ASSERT_TRUE(FAILED(unavailable));
    EXPECT_EQ(list->SetSize(3), unavailable);
    EXPECT_EQ(CountOf(list.get()), 3);
    EXPECT_TRUE(ItemOf(list.get(), 1));
    IMvCalcValue* item = reinterpret_cast<IMvCalcValue*>(0x1);
    EXPECT_EQ(list->Item(2, &item), E_UNEXPECTED);
    EXPECT_EQ(item, nullptr);
    // Empty slots are passed over when the list shrinks or goes.
    EXPECT_EQ(list->SetSize(2), S_OK);
    EXPECT_EQ(list->RemoveAll(), S_OK);
    EXPECT_EQ(CountOf(list.get()), 0);
}

TEST_F(CalcValuesTest, FailedCreationKeepsEarlierElementsAndTracesItsFailure) {
    mv::ComPtr<mv::ComObject<FailingValueFactory>> factory;
    ASSERT_EQ(mv::MakeComObject<FailingValueFactory>(&factory), S_OK);
    factory->good = 2;
    factory->failure = E_OUTOFMEMORY;
    ServedClass failing(CLSID_MvCalcValue, static_cast<IClassFactory*>(factory.get()));

    auto list = NewValues();
    ASSERT_EQ(list->SetSize(1), S_OK);  // one made
    LogCapture log(/*methods=*/true);
    EXPECT_EQ(list->SetSize(4), E_FAIL);  // one more made, then the failure
    EXPECT_EQ(log.Lines(),
              "\nCMvCalcValues::SetSize: Method - Start\n"
              "CMvCalcValues::SetSize: Method - End (E_OUTOFMEMORY)\n");
    EXPECT_EQ(CountOf(list.get()), 4);
    EXPECT_TRUE(ItemOf(list.get(), 1));
    EXPECT_TRUE(ItemOf(list.get(), 2));
    for (LONG empty : {3, 4}) {
        IMvCalcValue* item = nullptr;
        EXPECT_EQ(list->Item(empty, &item), E_UNEXPECTED);
        EXPECT_EQ(item, nullptr);
    }
}

TEST_F(CalcValuesTest, DispatchIdentifiersOfValuesAndProperties) {
    auto v = NewValue();
    auto list = NewValues();
    ServedClass served = ServedClass::Of<CMvCalcProperties>(CLSID_MvCalcProperties);
    mv::ComPtr<IMvCalcProperty> p;
    ASSERT_EQ(mv::CreateComObject<CMvCalcProperty>(nullptr, IID_IMvCalcProperty, p.PutVoid()),
              S_OK);
    mv::ComPtr<IMvCalcProperties> children;
    ASSERT_EQ(p->get_Properties(children.Put()), S_OK);
    struct Case {
        IDispatch* target;
        const char16_t* name;
        DISPID id;
    } cases[] = {
        {v.get(), u"Value", 0},
        {v.get(), u"level", 244},
        {v.get(), u"Status", 280},
        {v.get(), u"TimeStamp", 283},
        {v.get(), u"SetParameterValues", 1},
        {list.get(), u"Item", 0},
        {list.get(), u"Add", 1},
        {list.get(), u"Count", 2},
        {list.get(), u"RemoveAll", 6},
        {list.get(), u"SetSize", 7},
        {p.get(), u"Name", 1},
        {p.get(), u"ParameterCount", 2},
        {p.get(), u"Properties", 3},
        {children.get(), u"Item", 0},
        {children.get(), u"Add", 1},
        {children.get(), u"Count", 2},
        {children.get(), u"RemoveAll", 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(mv::ToUtf8(c.name));
        DISPID id = -12345;
        EXPECT_EQ(mv::DispGetIDOfName(c.target, c.name, &id), S_OK);
        EXPECT_EQ(id, c.id);
    }
}

}  // namespace
