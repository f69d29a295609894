// The one error value of the tensor library and the helpers that format its messages.
#pragma once
#include <cstddef>
#include <exception>
#include <string>
#include <utility>
#include <vector>

namespace tl {

// An error value: the message is exactly what reaches the user. It is kept as a std::string
// (not only a C string) because it can hold NUL bytes, e.g. a tensor name from a weight file.
class Error : public std::exception {
 public:
  explicit Error(std::string msg) : msg_(std::move(msg)) {}
  const char* what() const noexcept override { return msg_.c_str(); }
  const std::string& message() const noexcept { return msg_; }

 private:
  std::string msg_;
};

// A condition the system treats as an internal failure rather than an error value (for example
// more experts per token than experts, or unordered values in token choice). Carries its fixed
// message; the Python boundary raises it like any other failure.
class InternalFailure : public std::exception {
 public:
  explicit InternalFailure(std::string msg) : msg_(std::move(msg)) {}
  const char* what() const noexcept override { return msg_.c_str(); }
  const std::string& message() const noexcept { return msg_; }

 private:
  std::string msg_;
};

using Shape = std::vector<size_t>;

// "[2, 3]", "[5]", "[]".
std::string shape_str(const Shape& s);
// "(1, 1, 0, ())": a reshape target with one inferred size printed as a tuple; hole = index of
// the inferred dimension (or -1 for none).
std::string tuple_str(const Shape& s, long hole);

}  // namespace tl
