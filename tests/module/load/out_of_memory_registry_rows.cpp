// The out-of-memory sweep's rows for the registry store's writes and batches.
#include "out_of_memory_sweep.h"

namespace oomtest {

std::vector<Scenario> RegistryScenarios(const SweepContext&) {
    return {};
}

}  // namespace oomtest
