// How lbhost's steps say what went wrong: the message for the photographer together with its
// kind, which chooses the exit code and names the error in --json, so the two never part.
// Portable.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "lbhost/core/run_report.h"

struct Failure {
  ErrorKind kind = ErrorKind::Camera;
  std::string message;
};

// Done, or the failure that stopped it.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Failure failure) : m_failure(std::move(failure)) {}

  explicit operator bool() const { return !m_failure; }
  const Failure& failure() const { return *m_failure; }
  Failure& failure() { return *m_failure; }

 private:
  std::optional<Failure> m_failure;
};

// A value, or the failure that kept it from being had.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : m_value(std::move(value)) {}
  Result(Failure failure) : m_value(std::move(failure)) {}

  explicit operator bool() const { return m_value.index() == 0; }
  T& operator*() { return std::get<0>(m_value); }
  const T& operator*() const { return std::get<0>(m_value); }
  T* operator->() { return &std::get<0>(m_value); }
  const Failure& failure() const { return std::get<1>(m_value); }
  // The failure alone, for a caller that passes it on.
  operator Status() const { return *this ? Status() : Status(failure()); }

 private:
  std::variant<T, Failure> m_value;
};
