// Value, quality and texts written on some threads while others read them:
// every read sees one whole write, never a mix of two.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "parameter_test_support.h"

namespace parameter_test {
namespace {

constexpr int kWriters = 3;
constexpr int kReaders = 3;
constexpr int kRounds = 400;

// Writer w's round r writes n = w * kRounds + r + 1 as the value's text,
// the level, the status and the time stamp, so a reader can tell whether
// the four came from one call.
std::u16string TextOf(int n) {
    std::string s = "value-" + std::to_string(n) + std::string(static_cast<size_t>(n % 50), 'x');
    return mv::ToUtf16(s);
}

TEST(ParameterValuesConcurrencyTest, ReadersSeeWholeWritesOnly) {
    auto p = NewParameter();
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            for (int r = 0; r < kRounds; ++r) {
                const int n = w * kRounds + r + 1;
                mv::Variant value(TextOf(n));
                SHORT level = static_cast<SHORT>(n);
                SHORT status = static_cast<SHORT>(-n);
                DATE when = n;
                p->SetParameterValues(&value, &level, &status, &when);
                p->put_Name(mv::Bstr(TextOf(n)).get());
                p->put_Default(value);
            }
        });
    }
    for (int i = 0; i < kReaders; ++i) {
        threads.emplace_back([&] {
            while (!stop.load()) {
                mv::Variant value;
                SHORT level = 0, status = 0;
                DATE when = 0;
                p->GetParameterValues(&value, &level, &status, &when);
                if (value.vt == VT_EMPTY) continue;
                const int n = static_cast<int>(when);
                if (level != static_cast<SHORT>(n) || status != static_cast<SHORT>(-n) ||
                    Text(value.bstrVal) != TextOf(n))
                    ++torn;
                mv::Bstr name;
                p->get_Name(name.Out());
                mv::Variant def;
                p->get_Default(&def);
                mv::Bstr details;
                p->GetDetails(details.Out(), nullptr, nullptr, &def, nullptr, &value, nullptr,
                              nullptr);
            }
        });
    }
    for (int w = 0; w < kWriters; ++w) threads[w].join();
    stop = true;
    for (size_t i = kWriters; i < threads.size(); ++i) threads[i].join();
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace parameter_test
