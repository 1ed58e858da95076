// A client replacing the recipe connection while runs read through it: each
// run keeps its own reference, so no connection is freed while in use.
#include <atomic>
#include <thread>

#include "frame/hosted_servers.h"
#include "recipe_run_support.h"

namespace recipe_test {
namespace {

TEST_F(RecipeRun, PutsOfTheConnectionDuringRunsFreeNothingInUse) {
    ASSERT_EQ(Run(), "");
    mv::ComPtr<IDispatch> server;
    server.Attach(ObjectServer_GetDataAccessServer());
    ASSERT_TRUE(server);
    std::atomic<bool> done{false};
    // Each put hands over a new open connection whose only reference is the
    // recipe object's, so the put releases the last one of the old.
    std::thread putter([&] {
        while (!done) {
            IDispatch* fresh = nullptr;
            BSTR text = nullptr;
            DataAccessServer_Call60030000(server.get(), &fresh, &text);
            DataAccessServer_Call60030002(server.get(), &fresh, nullptr, nullptr, nullptr, nullptr,
                                          nullptr, &text);
            ASSERT_NE(fresh, nullptr);
            recipe_->put_DravikDataConnection(fresh);
            fresh->Release();
            SysFreeString(text);
        }
    });
    for (int i = 0; i < 40; ++i) {
        const std::string error = Run();
        EXPECT_TRUE(error.empty()) << error;
    }
    done = true;
    putter.join();
    server.Reset();
    recipe_->put_DravikDataConnection(nullptr);
    EXPECT_EQ(hosted::Count(hosted::Counter::RecipeConnectionsAlive), 0);
}

}  // namespace
}  // namespace recipe_test
