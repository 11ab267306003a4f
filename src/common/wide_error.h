#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <utility>

namespace zel {

// The one error a service raises: a message and, where the service knows it, the return code the
// request answers. The dispatcher alone turns it into the return code and WARN line its service's
// row names: an error of the input's shape gets the row's input code, any other error without a
// code of its own the row's failure code. It deliberately does not derive from std::exception so
// that a catch of library exceptions can never swallow it by accident.
class WideError {
 public:
  explicit WideError(std::wstring message) : message_(std::move(message)) {}
  WideError(LONG code, std::wstring message) : message_(std::move(message)), code_(code) {}

  // An element of the request's input is missing or of the wrong type.
  static WideError Input(std::wstring message) {
    WideError error(std::move(message));
    error.input_ = true;
    return error;
  }

  const std::wstring& Message() const noexcept { return message_; }
  const std::optional<LONG>& Code() const noexcept { return code_; }
  bool FromInput() const noexcept { return input_; }

 private:
  std::wstring message_;
  std::optional<LONG> code_;
  bool input_ = false;
};

}  // namespace zel
