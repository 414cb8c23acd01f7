// app/test_support.h: what the app's tests share besides the common test
// helpers: a small SAGA document, and the command line run in-process.
#pragma once

#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/cli.h"
#include "testsupport/test_support.h"

namespace brivasto::testing {

// A SAGA document with every section the export reads, all empty.
inline constexpr std::string_view kEmptySagaDocument =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<document><subjects/><teachers/><locations/><groups/></document>\n";

// What one command line gave.
struct CliResult {
  int code;
  std::string out;
  std::string err;
};

inline CliResult RunCli(const std::vector<std::string>& arguments) {
  std::ostringstream out, err;
  const int code = RunFromCommandLine(arguments, out, err);
  return {code, out.str(), err.str()};
}

}  // namespace brivasto::testing
