// Texts of the calculation's child objects replaced on one thread while two
// others read them and save the objects: each read sees one whole text.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "child_objects_test_support.h"

namespace {

using namespace child_test;

TEST(ChildTextsConcurrency, ReadersAndSavesSeeWholeTextsWhileOneThreadReplacesThem) {
    // Of different lengths, so that a torn copy would show.
    const std::u16string texts[] = {u"", u"short", u"a rather longer text \u6E29\u5EA6 here"};
    const std::set<std::string> whole = {"8:", "8:short",
                                         "8:a rather longer text \u6E29\u5EA6 here"};
    const std::pair<mv::ComPtr<IDispatch>, const char16_t*> targets[] = {
        {New<CMvDataSet>(), u"Password"},         {New<CMvDataSetColumn>(), u"Name"},
        {New<CMvDravikConnect>(), u"DravikUser"}, {New<CMvCalcOLEMethod>(), u"ParameterName"},
        {New<CMvCalcOLEArg>(), u"Name"},
    };
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    auto reader = [&] {
        while (!done.load()) {
            for (const auto& [object, name] : targets) {
                mv::Variant value;
                if (FAILED(mv::DispGetPropertyByName(object.get(), name, &value)) ||
                    !whole.count(Shown(value)) ||
                    FAILED(As<IPersistStream>(object.get())->Save(NewStream().get(), FALSE)))
                    torn.fetch_add(1);
            }
        }
    };
    std::thread first(reader), second(reader);
    for (int round = 0; round < 300; ++round)
        for (const auto& [object, name] : targets)
            EXPECT_EQ(mv::DispPutPropertyByName(object.get(), name, mv::Variant(texts[round % 3])),
                      S_OK);
    done.store(true);
    first.join();
    second.join();
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
