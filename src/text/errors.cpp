// Error kinds, the errno table and the error descriptions; see errors.hpp.
//
// The descriptions are the exact texts the reader quotes after its context
// text, so every byte of them is fixed: field order, separators, and the C
// library's message inserted between double quotes without any escaping.
#include "text/errors.hpp"

#include <array>
#include <charconv>
#include <cstring>

#include "text/utf8.hpp"

// The XSI strerror_r, which always fills the caller's buffer (the GNU one may
// return a pointer to a static text instead).  Returns 0, or an error number
// when the code is unknown (the buffer then holds "Unknown error N") or the
// buffer is too small.
extern "C" int __xpg_strerror_r(int code, char* buffer, std::size_t size);

namespace tavrel::text {
namespace {

// Indexed by the kind's value; the order is that of the enumeration.
constexpr std::array<std::string_view, 43> KIND_NAMES = {
    "NotFound",           "PermissionDenied",   "ConnectionRefused",      "ConnectionReset",
    "HostUnreachable",    "NetworkUnreachable", "ConnectionAborted",      "NotConnected",
    "AddrInUse",          "AddrNotAvailable",   "NetworkDown",            "BrokenPipe",
    "AlreadyExists",      "WouldBlock",         "NotADirectory",          "IsADirectory",
    "DirectoryNotEmpty",  "ReadOnlyFilesystem", "FilesystemLoop",         "StaleNetworkFileHandle",
    "InvalidInput",       "InvalidData",        "TimedOut",               "WriteZero",
    "StorageFull",        "NotSeekable",        "QuotaExceeded",          "FileTooLarge",
    "ResourceBusy",       "ExecutableFileBusy", "Deadlock",               "CrossesDevices",
    "TooManyLinks",       "InvalidFilename",    "ArgumentListTooLong",    "Interrupted",
    "Unsupported",        "UnexpectedEof",      "OutOfMemory",            "InProgress",
    "TooManyOpenFiles",   "Other",              "Uncategorized",
};
static_assert(KIND_NAMES.size() == static_cast<std::size_t>(ErrorKind::Uncategorized) + 1);

constexpr std::size_t STRERROR_BUFFER_SIZE = 128;

void append_decimal(std::string& out, long long value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

}  // namespace

std::string_view kind_name(ErrorKind kind) noexcept {
  const auto index = static_cast<std::size_t>(kind);
  return index < KIND_NAMES.size() ? KIND_NAMES[index] : KIND_NAMES.back();
}

ErrorKind kind_from_errno(int code) noexcept {
  // Linux numbering, written out so the table does not depend on the headers
  // of the machine that builds it.
  switch (code) {
    case 1: return ErrorKind::PermissionDenied;         // EPERM
    case 2: return ErrorKind::NotFound;                 // ENOENT
    case 4: return ErrorKind::Interrupted;              // EINTR
    case 7: return ErrorKind::ArgumentListTooLong;      // E2BIG
    case 11: return ErrorKind::WouldBlock;              // EAGAIN
    case 12: return ErrorKind::OutOfMemory;             // ENOMEM
    case 13: return ErrorKind::PermissionDenied;        // EACCES
    case 16: return ErrorKind::ResourceBusy;            // EBUSY
    case 17: return ErrorKind::AlreadyExists;           // EEXIST
    case 18: return ErrorKind::CrossesDevices;          // EXDEV
    case 20: return ErrorKind::NotADirectory;           // ENOTDIR
    case 21: return ErrorKind::IsADirectory;            // EISDIR
    case 22: return ErrorKind::InvalidInput;            // EINVAL
    case 23: return ErrorKind::TooManyOpenFiles;        // ENFILE
    case 24: return ErrorKind::TooManyOpenFiles;        // EMFILE
    case 26: return ErrorKind::ExecutableFileBusy;      // ETXTBSY
    case 27: return ErrorKind::FileTooLarge;            // EFBIG
    case 28: return ErrorKind::StorageFull;             // ENOSPC
    case 29: return ErrorKind::NotSeekable;             // ESPIPE
    case 30: return ErrorKind::ReadOnlyFilesystem;      // EROFS
    case 31: return ErrorKind::TooManyLinks;            // EMLINK
    case 32: return ErrorKind::BrokenPipe;              // EPIPE
    case 35: return ErrorKind::Deadlock;                // EDEADLK
    case 36: return ErrorKind::InvalidFilename;         // ENAMETOOLONG
    case 38: return ErrorKind::Unsupported;             // ENOSYS
    case 39: return ErrorKind::DirectoryNotEmpty;       // ENOTEMPTY
    case 40: return ErrorKind::FilesystemLoop;          // ELOOP
    case 95: return ErrorKind::Unsupported;             // EOPNOTSUPP
    case 98: return ErrorKind::AddrInUse;               // EADDRINUSE
    case 99: return ErrorKind::AddrNotAvailable;        // EADDRNOTAVAIL
    case 100: return ErrorKind::NetworkDown;            // ENETDOWN
    case 101: return ErrorKind::NetworkUnreachable;     // ENETUNREACH
    case 103: return ErrorKind::ConnectionAborted;      // ECONNABORTED
    case 104: return ErrorKind::ConnectionReset;        // ECONNRESET
    case 107: return ErrorKind::NotConnected;           // ENOTCONN
    case 110: return ErrorKind::TimedOut;               // ETIMEDOUT
    case 111: return ErrorKind::ConnectionRefused;      // ECONNREFUSED
    case 113: return ErrorKind::HostUnreachable;        // EHOSTUNREACH
    case 115: return ErrorKind::InProgress;             // EINPROGRESS
    case 116: return ErrorKind::StaleNetworkFileHandle; // ESTALE
    case 122: return ErrorKind::QuotaExceeded;          // EDQUOT
    default: return ErrorKind::Uncategorized;
  }
}

std::optional<std::string> os_error_text(int code) {
  char buffer[STRERROR_BUFFER_SIZE] = {};
  if (__xpg_strerror_r(code, buffer, sizeof buffer) < 0) return std::nullopt;
  // Up to the first NUL; the zeroed buffer guarantees one unless the library
  // filled all 128 bytes, in which case all of them are the text.
  const void* nul = std::memchr(buffer, '\0', sizeof buffer);
  const std::size_t length = nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - buffer)
                                            : sizeof buffer;
  std::string text;
  append_utf8_lossy(text, std::string_view(buffer, length));
  return text;
}

std::optional<std::string> describe(const IoError& error) {
  std::string out;
  switch (error.form()) {
    case IoError::Form::Os: {
      std::optional<std::string> message = os_error_text(error.code());
      if (!message) return std::nullopt;
      out = "Os { code: ";
      append_decimal(out, error.code());
      out += ", kind: ";
      out += kind_name(error.kind());
      out += ", message: \"";
      out += *message;
      out += "\" }";
      return out;
    }
    case IoError::Form::NulInPath:
    case IoError::Form::InvalidUtf8:
    case IoError::Form::Compressed:
      out = "Error { kind: ";
      out += kind_name(error.kind());
      out += ", message: \"";
      out += error.message();
      out += "\" }";
      return out;
    case IoError::Form::OutOfMemory:
      // The readers turn this form into a memory failure before anything
      // describes it; should it be described after all, it has the form of
      // the others, with the size asked for.
      out = "Error { kind: OutOfMemory, bytes: ";
      append_decimal(out, static_cast<long long>(error.bytes()));
      out += " }";
      return out;
  }
  return out;
}

std::string_view describe(ParseFloatError error) noexcept {
  return error.kind == FloatErrorKind::Empty ? "ParseFloatError { kind: Empty }"
                                             : "ParseFloatError { kind: Invalid }";
}

}  // namespace tavrel::text
