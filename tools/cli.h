// The ffsbuild command line, callable from tests.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace ffsbuild {

// Runs one ffsbuild command (arguments without the program name). Results go
// to `out`; problems go to `err` as one line "ffsbuild: reason". Returns the
// exit code: 0 on success, 1 on a problem with the input, 2 on a usage error.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace ffsbuild
