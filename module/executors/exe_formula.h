// The external-program formula (kind 1): how its command text is run.
#pragma once

#include <string_view>

// Runs one command text and answers the program's exit code, or -1 when the
// program could not be started (mv::RunCommandText by default).
using MvCommandRunner = int (*)(std::string_view commandText);

// Replaces the runner of every later external-program formula and returns
// the one it replaces; null restores the default.
MvCommandRunner MvSetCommandRunner(MvCommandRunner runner);
