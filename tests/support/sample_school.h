// tests/support/sample_school.h: the sample school of samples/ after one
// round through Talvenor, laid out under a test's folder: its document in
// root/saga/saga.xml, exported into root/zwork, with the sample solution
// (DIASHORAST, SOLUC) there, ready for an import.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli.h"
#include "testsupport/test_support.h"

namespace brivasto::testing {

inline void PrepareSampleSchool(const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  fs::create_directories(root / "zwork");
  fs::create_directories(root / "saga");
  fs::copy_file(SourceDir() / "samples/saga-ejemplo.xml", root / "saga/saga.xml");
  const std::vector<std::string> arguments = {"--zwork", (root / "zwork").string(), "export",
                                              (root / "saga/saga.xml").string()};
  std::ostringstream out;
  std::ostringstream err;
  ASSERT_EQ(RunFromCommandLine(arguments, out, err), 0) << err.str();
  for (const char* table : {"DIASHORAST.DBF", "SOLUC.DBF"}) {
    fs::copy_file(SourceDir() / "samples/talvenor" / table, root / "zwork" / table,
                  fs::copy_options::overwrite_existing);
  }
}

}  // namespace brivasto::testing
