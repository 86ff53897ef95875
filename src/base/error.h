// The one exception class of the core. Stages catch it (and std::exception) and
// write its message as a protocol line of kind 26; it never crosses a stage.
#pragma once

#include <stdexcept>
#include <string>

class EZumError : public std::runtime_error {
 public:
  explicit EZumError(const std::string& message) : std::runtime_error(message) {}
};
