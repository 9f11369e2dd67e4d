// The error the message decoder raises for input it cannot turn into a value tree: a field cut
// short, a length larger than the bytes left, a tag that has no meaning where it appears, or
// nesting deeper than the decoder accepts.
//
// It carries the operating-system error code 13 (ERROR_INVALID_DATA on Windows), so a caller
// that reports OS codes can pass it on unchanged. The decoder releases any partly built tree
// before the exception leaves it.
#pragma once

#include <exception>

class CDecodeError : public std::exception {
 public:
  // ERROR_INVALID_DATA: the one code every decode failure carries.
  static constexpr int kInvalidDataOsError = 13;

  // what must be a string literal (or otherwise outlive the exception); it says which field
  // could not be read and only feeds traces.
  explicit CDecodeError(const char* what) noexcept : m_what(what) {}

  int osError() const noexcept { return kInvalidDataOsError; }
  const char* what() const noexcept override { return m_what; }

 private:
  const char* m_what;  // Not owned: a literal.
};

[[noreturn]] inline void ThrowDecodeError(const char* what) { throw CDecodeError(what); }
