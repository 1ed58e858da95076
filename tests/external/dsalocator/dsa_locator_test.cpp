// The data-source directory stand-in as a client sees it.
#include <gtest/gtest.h>

#include "dsa_locator_sim.h"

namespace {

TEST(DsaLocatorTest, ListsAndHandsOutDataSourcesOfAService) {
    dsasim::Reset();
    ASSERT_EQ(dsasim::Register(), S_OK);
    dsasim::AddDataSource("svc", "A");
    dsasim::AddDataSource("SVC", "B", false);
    dsasim::AddDataSource("other", "C");
    dsasim::SetProperty("svc", "a", "Port", mv::Variant(LONG{7}));
    {
        mv::ComPtr<IMvDsaLocator> locator;
        ASSERT_EQ(CoCreateInstance(CLSID_MvDsaLocator, nullptr, CLSCTX_ALL, IID_IMvDsaLocator,
                                   locator.PutVoid()),
                  S_OK);
        mv::Bstr service(u"Svc");
        LONG count = 0;
        ASSERT_EQ(locator->GetDataSourceCount(service.get(), &count), S_OK);
        EXPECT_EQ(count, 2);
        mv::Bstr name;
        EXPECT_EQ(locator->GetDataSourceName(service.get(), 2, name.Out()), S_OK);
        EXPECT_EQ(name.Utf8(), "B");
        EXPECT_EQ(locator->GetDataSourceName(service.get(), 3, name.Out()), E_INVALIDARG);

        struct Row {
            const char16_t* name;
            bool found, bag;
        } rows[] = {{u"a", true, true}, {u"B", true, false}, {u"C", false, false}};
        for (const Row& row : rows) {
            mv::ComPtr<IUnknown> source;
            locator->GetDataSource(service.get(), 0, mv::Bstr(row.name).get(), source.Put());
            EXPECT_EQ(static_cast<bool>(source), row.found);
            if (!source) continue;
            mv::ComPtr<IPropertyBag> bag;
            source.As(&bag);
            EXPECT_EQ(static_cast<bool>(bag), row.bag);
            if (!bag) continue;
            mv::Variant value;
            EXPECT_EQ(bag->Read(u"PORT", &value, nullptr), S_OK);
            EXPECT_EQ(value.vt, VT_I4);
            EXPECT_EQ(value.lVal, 7);
            EXPECT_EQ(bag->Read(u"Missing", &value, nullptr), E_INVALIDARG);
        }
        EXPECT_EQ(dsasim::LiveLocators(), 1);
    }
    dsasim::Revoke();
    dsasim::Reset();
    EXPECT_EQ(dsasim::LiveLocators(), 0);
}

}  // namespace
