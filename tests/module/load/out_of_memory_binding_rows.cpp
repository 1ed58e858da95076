// The out-of-memory sweep's rows for binding handlers and the calls that hand values on.
#include "out_of_memory_sweep.h"

namespace oomtest {

std::vector<Scenario> BindingScenarios(const SweepContext&) {
    return {};
}

}  // namespace oomtest
