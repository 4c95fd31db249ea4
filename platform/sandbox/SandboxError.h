// The error the sandbox raises for bad input to itself.
#pragma once

#include <stdexcept>

namespace qar::sandbox {

// Bad input to the sandbox itself (missing or malformed machine folder,
// settings or registry file, unknown version name, a path that leaves the
// machine). The message names the file and line where there is one.
class SandboxError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace qar::sandbox
