// The out-of-memory sweep's rows for script runs.
#include "out_of_memory_sweep.h"

namespace oomtest {

std::vector<Scenario> ScriptScenarios(const SweepContext&) {
    return {};
}

}  // namespace oomtest
