// app/cli.h: the headless command line, `brivasto-cli export|import FILE.xml`.
#pragma once

#include <ostream>
#include <span>
#include <string>

namespace brivasto {

// Runs the command line (`arguments` without the program's name) and gives
// the exit code: 0 for a completed run, --help or --version; 1 when the run
// fails, with the message on `err`; 2 for wrong usage.
int RunFromCommandLine(std::span<const std::string> arguments, std::ostream& out,
                       std::ostream& err);

}  // namespace brivasto
