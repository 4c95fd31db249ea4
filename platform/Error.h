// The wizard's error object: what a handler raises and the message loop
// shows in the error box.
#pragma once

#include <stdexcept>
#include <string>

namespace qar {

class Error : public std::exception {
 public:
  explicit Error(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

}  // namespace qar
