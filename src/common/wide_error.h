#pragma once

#include <string>
#include <utility>

namespace zel {

// The error that the parameter utilities raise and that handlers catch around their bodies. Its
// payload is the message text alone; it deliberately does not derive from std::exception so that
// a catch of library exceptions can never swallow it by accident.
class WideError {
 public:
  explicit WideError(std::wstring message) : message_(std::move(message)) {}

  const std::wstring& Message() const noexcept { return message_; }

 private:
  std::wstring message_;
};

}  // namespace zel
