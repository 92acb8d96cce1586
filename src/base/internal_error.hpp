// The internal-error type: a broken invariant or an unsupported case inside
// the system. Every Python entry point turns it into the module's
// internal-error exception; pure C++ code (postings, tests) just throws it.
#pragma once

#include <stdexcept>
#include <string>

namespace lorvane {

class InternalError : public std::runtime_error {
 public:
  explicit InternalError(const std::string& message) : std::runtime_error(message) {}
  explicit InternalError(const char* message) : std::runtime_error(message) {}
};

// Throws InternalError(message) when `cond` is false. Used for invariants that
// must hold in release builds too (a wrong answer is worse than an error).
inline void check(bool cond, const char* message) {
  if (!cond) [[unlikely]] throw InternalError(message);
}

}  // namespace lorvane
