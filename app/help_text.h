// app/help_text.h: the user's help, in Spanish, shown by the window when the
// help file "SAGA.chm" is not beside the program. One place, so that it can
// grow into the user's manual.
#pragma once

#include <string>
#include <string_view>

namespace brivasto {

// The help as a small HTML page (UTF-8).
std::string_view HelpHtml();

}  // namespace brivasto
