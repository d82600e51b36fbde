// Tests of the error kinds, the errno table and every error description.
//
// Descriptions are compared as whole strings; OS messages against the C
// library's own strerror text for the same code.
#include "text/errors.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "text/utf8.hpp"

namespace tavrel::text {
namespace {

TEST(ErrorKind, NamesFollowTheEnumerationOrder) {
  static constexpr std::string_view NAMES[] = {
      "NotFound",          "PermissionDenied",   "ConnectionRefused", "ConnectionReset",
      "HostUnreachable",   "NetworkUnreachable", "ConnectionAborted", "NotConnected",
      "AddrInUse",         "AddrNotAvailable",   "NetworkDown",       "BrokenPipe",
      "AlreadyExists",     "WouldBlock",         "NotADirectory",     "IsADirectory",
      "DirectoryNotEmpty", "ReadOnlyFilesystem", "FilesystemLoop",    "StaleNetworkFileHandle",
      "InvalidInput",      "InvalidData",        "TimedOut",          "WriteZero",
      "StorageFull",       "NotSeekable",        "QuotaExceeded",     "FileTooLarge",
      "ResourceBusy",      "ExecutableFileBusy", "Deadlock",          "CrossesDevices",
      "TooManyLinks",      "InvalidFilename",    "ArgumentListTooLong", "Interrupted",
      "Unsupported",       "UnexpectedEof",      "OutOfMemory",       "InProgress",
      "TooManyOpenFiles",  "Other",              "Uncategorized",
  };
  static_assert(std::size(NAMES) == 43);
  for (std::size_t i = 0; i < std::size(NAMES); ++i) {
    EXPECT_EQ(kind_name(static_cast<ErrorKind>(i)), NAMES[i]) << "kind value " << i;
  }
}

TEST(ErrorKind, FromErrnoFollowsTheLinuxTable) {
  struct Row {
    int code;
    ErrorKind kind;
  };
  static constexpr Row LISTED[] = {
      {1, ErrorKind::PermissionDenied},     {2, ErrorKind::NotFound},
      {4, ErrorKind::Interrupted},          {7, ErrorKind::ArgumentListTooLong},
      {11, ErrorKind::WouldBlock},          {12, ErrorKind::OutOfMemory},
      {13, ErrorKind::PermissionDenied},    {16, ErrorKind::ResourceBusy},
      {17, ErrorKind::AlreadyExists},       {18, ErrorKind::CrossesDevices},
      {20, ErrorKind::NotADirectory},       {21, ErrorKind::IsADirectory},
      {22, ErrorKind::InvalidInput},        {23, ErrorKind::TooManyOpenFiles},
      {24, ErrorKind::TooManyOpenFiles},    {26, ErrorKind::ExecutableFileBusy},
      {27, ErrorKind::FileTooLarge},        {28, ErrorKind::StorageFull},
      {29, ErrorKind::NotSeekable},         {30, ErrorKind::ReadOnlyFilesystem},
      {31, ErrorKind::TooManyLinks},        {32, ErrorKind::BrokenPipe},
      {35, ErrorKind::Deadlock},            {36, ErrorKind::InvalidFilename},
      {38, ErrorKind::Unsupported},         {39, ErrorKind::DirectoryNotEmpty},
      {40, ErrorKind::FilesystemLoop},      {95, ErrorKind::Unsupported},
      {98, ErrorKind::AddrInUse},           {99, ErrorKind::AddrNotAvailable},
      {100, ErrorKind::NetworkDown},        {101, ErrorKind::NetworkUnreachable},
      {103, ErrorKind::ConnectionAborted},  {104, ErrorKind::ConnectionReset},
      {107, ErrorKind::NotConnected},       {110, ErrorKind::TimedOut},
      {111, ErrorKind::ConnectionRefused},  {113, ErrorKind::HostUnreachable},
      {115, ErrorKind::InProgress},         {116, ErrorKind::StaleNetworkFileHandle},
      {122, ErrorKind::QuotaExceeded},
  };
  bool listed[200] = {};
  for (const Row& row : LISTED) {
    EXPECT_EQ(kind_from_errno(row.code), row.kind) << "errno " << row.code;
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
      {2, "NotFound"},  {13, "PermissionDenied"}, {21, "IsADirectory"}, {36, "InvalidFilename"},
      {5, "Uncategorized"}, {0, "Uncategorized"},  {-3, "Uncategorized"}, {4000, "Uncategorized"},
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
