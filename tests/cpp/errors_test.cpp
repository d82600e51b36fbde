// Tests of the error kinds, the errno table and every error description.
//
// Codes are named by the C library's constants, kinds by their
// enumerators.  Descriptions are compared as whole strings; OS messages
// against the C library's own strerror text for the same code.
#include "text/errors.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <string>

#include "text/utf8.hpp"

namespace tavrel::text {
namespace {

// Each kind's name is its enumerator's own name.
TEST(ErrorKind, NameIsTheEnumeratorName) {
  struct Row {
    ErrorKind kind;
    std::string_view name;
  };
#define KIND(name) Row{ErrorKind::name, #name}
  static constexpr Row KINDS[] = {
      KIND(NotFound),          KIND(PermissionDenied),   KIND(ConnectionRefused),   KIND(ConnectionReset),
      KIND(HostUnreachable),   KIND(NetworkUnreachable), KIND(ConnectionAborted),   KIND(NotConnected),
      KIND(AddrInUse),         KIND(AddrNotAvailable),   KIND(NetworkDown),         KIND(BrokenPipe),
      KIND(AlreadyExists),     KIND(WouldBlock),         KIND(NotADirectory),       KIND(IsADirectory),
      KIND(DirectoryNotEmpty), KIND(ReadOnlyFilesystem), KIND(FilesystemLoop),      KIND(StaleNetworkFileHandle),
      KIND(InvalidInput),      KIND(InvalidData),        KIND(TimedOut),            KIND(WriteZero),
      KIND(StorageFull),       KIND(NotSeekable),        KIND(QuotaExceeded),       KIND(FileTooLarge),
      KIND(ResourceBusy),      KIND(ExecutableFileBusy), KIND(Deadlock),            KIND(CrossesDevices),
      KIND(TooManyLinks),      KIND(InvalidFilename),    KIND(ArgumentListTooLong), KIND(Interrupted),
      KIND(Unsupported),       KIND(UnexpectedEof),      KIND(OutOfMemory),         KIND(InProgress),
      KIND(TooManyOpenFiles),  KIND(Other),              KIND(Uncategorized),
  };
#undef KIND
  // All 43, each once: the values 0 to 42 are each listed.
  static_assert(std::size(KINDS) == 43 && static_cast<std::size_t>(ErrorKind::Uncategorized) == 42);
  bool seen[43] = {};
  for (const Row& row : KINDS) {
    EXPECT_EQ(kind_name(row.kind), row.name);
    seen[static_cast<std::size_t>(row.kind)] = true;
  }
  EXPECT_EQ(std::count(std::begin(seen), std::end(seen), true), 43);
}

// The codes by the C library's names for them.
TEST(ErrorKind, FromErrnoFollowsTheLinuxTable) {
  struct Row {
    int code;
    ErrorKind kind;
  };
  static constexpr Row LISTED[] = {
      {EPERM, ErrorKind::PermissionDenied},       {ENOENT, ErrorKind::NotFound},
      {EINTR, ErrorKind::Interrupted},            {E2BIG, ErrorKind::ArgumentListTooLong},
      {EAGAIN, ErrorKind::WouldBlock},            {ENOMEM, ErrorKind::OutOfMemory},
      {EACCES, ErrorKind::PermissionDenied},      {EBUSY, ErrorKind::ResourceBusy},
      {EEXIST, ErrorKind::AlreadyExists},         {EXDEV, ErrorKind::CrossesDevices},
      {ENOTDIR, ErrorKind::NotADirectory},        {EISDIR, ErrorKind::IsADirectory},
      {EINVAL, ErrorKind::InvalidInput},          {ENFILE, ErrorKind::TooManyOpenFiles},
      {EMFILE, ErrorKind::TooManyOpenFiles},      {ETXTBSY, ErrorKind::ExecutableFileBusy},
      {EFBIG, ErrorKind::FileTooLarge},           {ENOSPC, ErrorKind::StorageFull},
      {ESPIPE, ErrorKind::NotSeekable},           {EROFS, ErrorKind::ReadOnlyFilesystem},
      {EMLINK, ErrorKind::TooManyLinks},          {EPIPE, ErrorKind::BrokenPipe},
      {EDEADLK, ErrorKind::Deadlock},             {ENAMETOOLONG, ErrorKind::InvalidFilename},
      {ENOSYS, ErrorKind::Unsupported},           {ENOTEMPTY, ErrorKind::DirectoryNotEmpty},
      {ELOOP, ErrorKind::FilesystemLoop},         {EOPNOTSUPP, ErrorKind::Unsupported},
      {EADDRINUSE, ErrorKind::AddrInUse},         {EADDRNOTAVAIL, ErrorKind::AddrNotAvailable},
      {ENETDOWN, ErrorKind::NetworkDown},         {ENETUNREACH, ErrorKind::NetworkUnreachable},
      {ECONNABORTED, ErrorKind::ConnectionAborted}, {ECONNRESET, ErrorKind::ConnectionReset},
      {ENOTCONN, ErrorKind::NotConnected},        {ETIMEDOUT, ErrorKind::TimedOut},
      {ECONNREFUSED, ErrorKind::ConnectionRefused}, {EHOSTUNREACH, ErrorKind::HostUnreachable},
      {EINPROGRESS, ErrorKind::InProgress},       {ESTALE, ErrorKind::StaleNetworkFileHandle},
      {EDQUOT, ErrorKind::QuotaExceeded},
  };
  bool listed[200] = {};
  for (const Row& row : LISTED) {
    EXPECT_EQ(kind_from_errno(row.code), row.kind) << "errno " << row.code << " (" << std::strerror(row.code) << ")";
    ASSERT_LT(row.code, 200);
    listed[row.code] = true;
  }
  // Every other code, the plot file's EIO, ENXIO and ENODEV among them.
  for (int code = 0; code < 200; ++code) {
    if (!listed[code]) {
      EXPECT_EQ(kind_from_errno(code), ErrorKind::Uncategorized) << "errno " << code;
    }
  }
  for (int code : {-1, -2, INT_MIN, INT_MAX}) {
    EXPECT_EQ(kind_from_errno(code), ErrorKind::Uncategorized) << "errno " << code;
  }
}

TEST(Describe, OsErrorQuotesTheCLibraryText) {
  struct Row {
    int code;
    std::string_view kind;
  };
  static constexpr Row ROWS[] = {
      {ENOENT, "NotFound"}, {EACCES, "PermissionDenied"}, {EISDIR, "IsADirectory"}, {ENAMETOOLONG, "InvalidFilename"},
      {EIO, "Uncategorized"}, {0, "Uncategorized"},     {-3, "Uncategorized"},   {4000, "Uncategorized"},
  };
  for (const Row& row : ROWS) {
    const std::string expected = "Os { code: " + std::to_string(row.code) + ", kind: " + std::string(row.kind) +
                                 ", message: \"" + std::strerror(row.code) + "\" }";
    EXPECT_EQ(describe(IoError::os(row.code)), expected);
  }
}

TEST(Describe, NotFoundReadsAsTheUserSeesIt) {
  // The C locale's text, spelled out once so a change of form shows plainly.
  EXPECT_EQ(describe(IoError::os(2)), "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
}

TEST(Describe, MessageErrorsAndParseErrors) {
  EXPECT_EQ(describe(IoError::nul_in_path()),
            "Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }");
  EXPECT_EQ(describe(IoError::invalid_utf8()),
            "Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }");
  EXPECT_EQ(describe(ParseFloatError{FloatErrorKind::Empty}), "ParseFloatError { kind: Empty }");
  EXPECT_EQ(describe(ParseFloatError{FloatErrorKind::Invalid}), "ParseFloatError { kind: Invalid }");
}

TEST(OsErrorText, MatchesStrerrorForEveryCode) {
  for (int code = -2; code < 140; ++code) {
    EXPECT_EQ(os_error_text(code), std::string(std::strerror(code))) << "errno " << code;
  }
}

TEST(Utf8Lossy, ReplacesEachMaximalSubpart) {
  struct Row {
    std::string_view bytes;
    std::string_view expected;
  };
  static constexpr Row ROWS[] = {
      {"plain ASCII", "plain ASCII"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      // The Unicode Standard's own example: a truncated 4-byte and 3-byte
      // sequence, a lead byte before ASCII, lone continuation bytes.
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
       "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c\xEF\xBF\xBD\xEF\xBF\xBD" "d"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                          // overlong: no subpart
      {"\xE0\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},          // overlong 3-byte
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},          // surrogate
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // above U+10FFFF
      {"\xF5\xFF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"x\xF0\x9F\x98", "x\xEF\xBF\xBD"},                                // cut off at the end
      {"\xE2\x82x", "\xEF\xBF\xBDx"},
  };
  for (const Row& row : ROWS) {
    std::string out = "<";
    append_utf8_lossy(out, row.bytes);
    EXPECT_EQ(out, "<" + std::string(row.expected)) << testing::PrintToString(std::string(row.bytes));
  }
}

}  // namespace
}  // namespace tavrel::text
