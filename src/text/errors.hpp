// Error values of the text-input layer and their descriptions.
//
// Opening a file, reading a line and parsing a number report failures as
// values, never by throwing.  An `IoError` is either an operating-system error
// (an errno code), a path with a NUL byte, or a line that is not valid UTF-8;
// a `ParseFloatError` is
// Empty or Invalid.  `describe` renders each in the structured text form the
// reader quotes in its failure messages, for example
// `Os { code: 2, kind: NotFound, message: "No such file or directory" }`.
//
// A third, internal form, `OutOfMemory`, carries the size of an allocation
// that failed inside the line source; the reader turns it into a memory
// failure and never describes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavrel::text {

// The 43 error kinds, in their fixed order (values 0 to 42).
enum class ErrorKind : std::uint8_t {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  HostUnreachable,
  NetworkUnreachable,
  ConnectionAborted,
  NotConnected,
  AddrInUse,
  AddrNotAvailable,
  NetworkDown,
  BrokenPipe,
  AlreadyExists,
  WouldBlock,
  NotADirectory,
  IsADirectory,
  DirectoryNotEmpty,
  ReadOnlyFilesystem,
  FilesystemLoop,
  StaleNetworkFileHandle,
  InvalidInput,
  InvalidData,
  TimedOut,
  WriteZero,
  StorageFull,
  NotSeekable,
  QuotaExceeded,
  FileTooLarge,
  ResourceBusy,
  ExecutableFileBusy,
  Deadlock,
  CrossesDevices,
  TooManyLinks,
  InvalidFilename,
  ArgumentListTooLong,
  Interrupted,
  Unsupported,
  UnexpectedEof,
  OutOfMemory,
  InProgress,
  TooManyOpenFiles,
  Other,
  Uncategorized,
};

// The kind's name exactly as descriptions print it ("NotFound", ...).
std::string_view kind_name(ErrorKind kind) noexcept;

// Linux errno to kind; unlisted codes (0 and negatives included) give
// Uncategorized.
ErrorKind kind_from_errno(int code) noexcept;

// The error of opening a file or reading a line.
class IoError {
 public:
  // Compressed: a compressed stream that is damaged, ends early
  // (`truncated`) or is of a format this build cannot read; its message is
  // the decompressor's reason.
  enum class Form : std::uint8_t { Os, NulInPath, InvalidUtf8, OutOfMemory, Compressed };

  static IoError os(int code) noexcept { return IoError(Form::Os, code, kind_from_errno(code), {}, 0); }
  static IoError nul_in_path() noexcept {
    return IoError(Form::NulInPath, 0, ErrorKind::InvalidInput, "file name contained an unexpected NUL byte", 0);
  }
  static IoError invalid_utf8() noexcept {
    return IoError(Form::InvalidUtf8, 0, ErrorKind::InvalidData, "stream did not contain valid UTF-8", 0);
  }
  static IoError out_of_memory(std::size_t bytes) noexcept {
    return IoError(Form::OutOfMemory, 0, ErrorKind::OutOfMemory, {}, bytes);
  }
  // `reason` must outlive the error (the libraries' reasons are static).
  static IoError compressed(std::string_view reason, bool truncated) noexcept {
    return IoError(Form::Compressed, 0, ErrorKind::InvalidData, reason, truncated ? 1 : 0);
  }
  static IoError unsupported_compression() noexcept {
    return IoError(Form::Compressed, 0, ErrorKind::Unsupported,
                   "this build was made without the library that decompresses this format", 0);
  }

  Form form() const noexcept { return form_; }
  int code() const noexcept { return code_; }               // Os only
  ErrorKind kind() const noexcept { return kind_; }
  std::string_view message() const noexcept { return message_; }  // NulInPath, InvalidUtf8, Compressed
  std::size_t bytes() const noexcept { return bytes_; }      // OutOfMemory only
  bool truncated() const noexcept { return form_ == Form::Compressed && bytes_ != 0; }

 private:
  IoError(Form form, int code, ErrorKind kind, std::string_view message, std::size_t bytes) noexcept
      : form_(form), kind_(kind), code_(code), message_(message), bytes_(bytes) {}
  Form form_;
  ErrorKind kind_;
  int code_;
  std::string_view message_;
  std::size_t bytes_;
};

enum class FloatErrorKind : std::uint8_t { Empty, Invalid };

struct ParseFloatError {
  FloatErrorKind kind;
  bool operator==(const ParseFloatError&) const = default;
};

// The C library's text for an errno code, through the XSI strerror_r into a
// 128-byte buffer, up to its first NUL, with each ill-formed UTF-8 sequence
// replaced by U+FFFD.  Empty optional when the lookup reports a failure
// (a negative result), which the caller reports as a failure of its own.
std::optional<std::string> os_error_text(int code);

// "Os { code: 2, kind: NotFound, message: \"...\" }" and the
// "Error { kind: ..., message: \"...\" }" form of every other error.  Empty
// optional only when the C library's lookup fails (see os_error_text).
std::optional<std::string> describe(const IoError& error);

// "ParseFloatError { kind: Empty }" or "ParseFloatError { kind: Invalid }".
std::string_view describe(ParseFloatError error) noexcept;

}  // namespace tavrel::text
