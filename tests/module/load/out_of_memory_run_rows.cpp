// The out-of-memory sweep's rows for runs that fail.
#include "out_of_memory_sweep.h"

namespace oomtest {

std::vector<Scenario> RunFailureScenarios(const SweepContext&) {
    return {};
}

}  // namespace oomtest
