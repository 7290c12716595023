// How engine operations fail: a failure value (a system call, the caller's input, a file's
// content), or an internal fault thrown as an exception.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <utility>
#include <variant>

namespace tokenizer {

/// What kind of failure happened.
enum class ErrorKind {
  os,             ///< a system call failed; `Error::os_error` holds its error number
  invalid_input,  ///< the caller handed over something unusable (a path with NUL, an unknown id)
  invalid_data,   ///< a file's content is malformed
};

/// A failure: its kind and the message the caller sees.
struct Error {
  ErrorKind kind = ErrorKind::invalid_data;
  int os_error = 0;
  std::string message;

  /// The failure of a system call with error number `error`, worded as
  /// "No such file or directory (os error 2)".
  static Error from_errno(int error);
  static Error invalid_input(std::string message) {
    return {ErrorKind::invalid_input, 0, std::move(message)};
  }
  static Error invalid_data(std::string message) {
    return {ErrorKind::invalid_data, 0, std::move(message)};
  }
};

/// Either a value or a failure.
template <class T = void>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_{std::move(value)} {}
  Result(Error error) : state_{std::move(error)} {}

  bool ok() const { return state_.index() == 0; }
  T& value() & { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const Error& error() const& { return std::get<1>(state_); }
  Error&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, Error> state_;
};

/// Success, or a failure.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_{std::move(error)}, failed_{true} {}

  bool ok() const { return !failed_; }
  const Error& error() const& { return error_; }
  Error&& error() && { return std::move(error_); }

 private:
  Error error_;
  bool failed_ = false;
};

/// Returns the failure of a `Result` expression from the enclosing function.
#define PAIRLOOM_TRY(expression)                                              \
  do {                                                                        \
    if (auto pairloom_try_result_ = (expression); !pairloom_try_result_.ok()) \
      return std::move(pairloom_try_result_).error();                         \
  } while (false)

/// A failed internal check. It abandons the engine operation; the binding reports it to Python.
class InternalFault : public std::exception {
 public:
  InternalFault(std::string message, std::source_location where)
      : message_{std::move(message)}, where_{where} {}

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const { return message_; }
  const std::source_location& where() const { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

/// Writes the fault's diagnostic to standard error and throws it.
[[noreturn]] void raise_fault(std::string message,
                              std::source_location where = std::source_location::current());

/// Raises a fault with `message` unless `condition` holds.
inline void check(bool condition, const char* message,
                  std::source_location where = std::source_location::current()) {
  if (!condition) raise_fault(message, where);
}

/// Thrown when a long operation sees that its caller asked it to stop (a pending signal).
/// The caller already knows why; the exception carries nothing.
class Interrupted : public std::exception {
 public:
  const char* what() const noexcept override { return "interrupted"; }
};

/// Polled by long operations every so often; returning true makes them throw `Interrupted`.
/// The default never interrupts.
class InterruptCheck {
 public:
  InterruptCheck() = default;
  InterruptCheck(bool (*poll)(void*), void* context) : poll_{poll}, context_{context} {}

  /// Throws `Interrupted` when the poll says so.
  void operator()() const {
    if (poll_ != nullptr && poll_(context_)) throw Interrupted{};
  }

 private:
  bool (*poll_)(void*) = nullptr;
  void* context_ = nullptr;
};

}  // namespace tokenizer
