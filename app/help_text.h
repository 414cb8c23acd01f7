// app/help_text.h: the user's manual, in Spanish, shown by the window when
// the help file "SAGA.chm" is not beside the program. Its one source is
// docs/manual.md, built into the program.
#pragma once

#include <string_view>

namespace brivasto {

// The manual as Markdown (UTF-8).
std::string_view HelpMarkdown();

}  // namespace brivasto
