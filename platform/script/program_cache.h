// The process-wide cache of parsed programs.
#pragma once

#include <memory>
#include <string_view>

#include "script/syntax.h"

namespace mv::script {

// The program of a text, parsed once while it stays in the cache and shared
// by every engine that runs it; throws the text's SyntaxError (the same one
// each time).
std::shared_ptr<const Program> CompileText(std::u16string_view text);

}  // namespace mv::script
