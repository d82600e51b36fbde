// Tests of the plot-file reader: layouts, widths, and every failure message.
#include "lib/reader.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "lib/plot_parts.hpp"
#include "tavrel/read_message.hpp"
#include "text/line_source.hpp"

namespace {

using tavrel::fixed::message_of;
using tavrel::lib::Columns;
using tavrel::lib::read_columns;
using tavrel::lib::ReadError;

class ReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("tavrel_reader_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string write(const std::string& content, const std::string& name = "plot.txt") {
    std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  // The failure of reading `content`; fails the test if it reads.
  ReadError error_of(const std::string& content, std::uint32_t width = 12) { return error_at(write(content), width); }
  static ReadError error_at(const std::string& path, std::uint32_t width = 12) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    try {
      read_columns(path, width);
    } catch (const ReadError& error) {
      // The reader reports nothing itself.
      EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
      EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
      EXPECT_NE(error.kind, ReadError::Kind::NoMemory);
      return error;
    }
    ::testing::internal::GetCapturedStdout();
    ::testing::internal::GetCapturedStderr();
    ADD_FAILURE() << "read succeeded";
    return ReadError{};
  }
  std::string failure_of(const std::string& content, std::uint32_t width = 12) {
    return message_of(error_of(content, width));
  }
  static std::string failure_at(const std::string& path, std::uint32_t width = 12) {
    return message_of(error_at(path, width));
  }

  std::filesystem::path dir_;
};

// A data line of fields, each right-aligned in `width` bytes.
std::string data_line(const std::vector<std::string>& fields, std::size_t width = 12) {
  std::string line;
  for (const auto& field : fields) line += std::string(width - field.size(), ' ') + field;
  return line + "\n";
}

std::string header(int n) {
  std::string text = "KORVANT PLOT FILE " + std::to_string(n) + "\n";
  for (int i = 0; i < n; ++i) text += "  PARAM" + std::to_string(i) + "\n";
  return text;
}

std::vector<float> all_values(const Columns& result, std::size_t column) {
  const auto& col = result.column(column);
  return std::vector<float>(col.data(), col.data() + col.size());
}

TEST_F(ReaderTest, ThreeParametersTwoBlocks) {
  std::string text = header(3) + " TIME 0.0\n" + data_line({"1.5E+02", "-2.5E-01", "0.1"}) + " TIME 1.0\n" +
                     data_line({"1.", ".5", "-0"});
  Columns result = read_columns(write(text), 12);
  EXPECT_EQ(all_values(result, 0), (std::vector<float>{150.0f, 1.0f}));
  ASSERT_EQ(result.count(), 3u);
  EXPECT_EQ(all_values(result, 1), (std::vector<float>{-0.25f, 0.5f}));
  ASSERT_EQ(result.column(2).size(), 2u);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(result.column(2).data()[0]), 0x3DCCCCCDu);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(result.column(2).data()[1]), 0x80000000u);
}

TEST_F(ReaderTest, HeaderWithoutBlocksGivesEmptyColumns) {
  Columns result = read_columns(write(header(4)), 12);
  ASSERT_EQ(result.count(), 4u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(result.column(i).size(), 0u);
}

TEST_F(ReaderTest, OneParameterHasNoFurtherColumns) {
  Columns result = read_columns(write(header(1) + "lead\n" + data_line({"7"}) + "lead\n" + data_line({"8"})), 12);
  EXPECT_EQ(all_values(result, 0), (std::vector<float>{7, 8}));
  EXPECT_EQ(result.count(), 1u);
}

// n = 10 fills one data line; n = 11 needs a second, whose field 0 is value
// 10 and whose further fields are ignored.
TEST_F(ReaderTest, TenAndElevenParameters) {
  std::vector<std::string> ten;
  for (int i = 0; i < 10; ++i) ten.push_back(std::to_string(i) + ".5");
  Columns r10 = read_columns(write(header(10) + "lead\n" + data_line(ten)), 12);
  EXPECT_EQ(all_values(r10, 0), (std::vector<float>{0.5f}));
  EXPECT_EQ(all_values(r10, 9), (std::vector<float>{9.5f}));

  std::string text = header(11) + "lead\n" + data_line(ten) + data_line({"10.5", "garbage", "x"});
  Columns r11 = read_columns(write(text), 12);
  ASSERT_EQ(r11.count(), 11u);
  EXPECT_EQ(all_values(r11, 10), (std::vector<float>{10.5f}));
}

TEST_F(ReaderTest, WidthFifteenAndLongLines) {
  std::string text = header(2) + "lead\n" + data_line({"1.23456789E-03", "-9.87654321E+05"}, 15).insert(30, "trailing");
  Columns result = read_columns(write(text), 15);
  EXPECT_EQ(all_values(result, 0), (std::vector<float>{1.23456789E-03f}));
  EXPECT_EQ(all_values(result, 1), (std::vector<float>{-9.87654321E+05f}));
}

TEST_F(ReaderTest, WindowsLineEndsAndMissingFinalLineFeed) {
  std::string text = "N 2\r\nA\r\nB\r\nlead\r\n" + std::string(9, ' ') + "1.5" + std::string(9, ' ') + "2.5";
  Columns result = read_columns(write(text), 12);
  EXPECT_EQ(all_values(result, 0), (std::vector<float>{1.5f}));
  EXPECT_EQ(all_values(result, 1), (std::vector<float>{2.5f}));
}

TEST_F(ReaderTest, CountForms) {
  for (const char* first : {"+3", "003", "NPARAM\t3  ", "3"}) {
    SCOPED_TRACE(first);
    Columns result = read_columns(write(std::string(first) + "\na\nb\nc\n"), 12);
    EXPECT_EQ(result.count(), 3u);
  }
}

TEST_F(ReaderTest, ZeroWidthWithoutBlocksReads) {
  Columns result = read_columns(write(header(2)), 0);
  EXPECT_EQ(result.count(), 2u);
}

struct FailureCase {
  const char* name;
  std::string content;
  std::uint32_t width;
  std::string message;
};

class ReaderFailure : public ReaderTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ReaderFailure, Message) {
  const FailureCase& c = GetParam();
  EXPECT_EQ(failure_of(c.content, c.width), c.message);
}

const std::string UTF8_ERROR =
    "Failed to read line!: Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }";
const std::string BLOCK = "lead\n" + data_line({"1", "2", "3"});

INSTANTIATE_TEST_SUITE_P(
    Rows, ReaderFailure,
    ::testing::Values(
        FailureCase{"EmptyFile", "", 12, "Failed ot read line!"},
        FailureCase{"BadUtf8FirstLine", "N \xFF 3\n", 12, UTF8_ERROR},
        FailureCase{"BadUtf8NameLine", "N 2\na\n\xC3\n", 12, UTF8_ERROR},
        FailureCase{"BadUtf8DataLine", header(3) + "lead\n\xED\xA0\x80\n", 12, UTF8_ERROR},
        FailureCase{"BlankFirstLine", " \t\n", 12, "capacity overflow"},
        FailureCase{"ZeroCount", "N 0\n", 12, "capacity overflow"},
        FailureCase{"NamesEndEarly", "N 3\na\nb\n", 12, "Failed to read line!"},
        FailureCase{"CountAtLimitNamesMissing", "N 4294967295\n", 12, "Failed to read line!"},
        FailureCase{"LeadLineOnly", header(3) + BLOCK + "lead\n", 12, "Error reading line"},
        FailureCase{"TrailingEmptyLine", header(3) + BLOCK + "\n", 12, "Error reading line"},
        FailureCase{"SecondDataLineMissing", header(11) + "lead\n" + data_line(std::vector<std::string>(10, "1")), 12,
                    "Error reading line"},
        FailureCase{"ShortDataLine", header(3) + "lead\n" + data_line({"1", "2"}), 12,
                    "end byte index 36 is out of bounds for string of length 24"},
        // A field starts where the one before it ended, which was checked, so
        // only the end of a field can be out of bounds or inside a character.
        FailureCase{"EndInsideChar", header(2) + "lead\n" + std::string(11, ' ') + "\xC3\xA9" + "2\n", 12,
                    "end byte index 12 is not a char boundary; it is inside '\xC3\xA9' (bytes 11..13 of string)"},
        FailureCase{"EndInsideCombining", header(1) + "lead\n" + std::string(11, ' ') + "\xCC\x81\n", 12,
                    "end byte index 12 is not a char boundary; it is inside '\\u{301}' (bytes 11..13 of string)"},
        FailureCase{"Letters", header(1) + "lead\n" + data_line({"abc"}), 12,
                    "Could not parse line: ParseFloatError { kind: Invalid }"},
        FailureCase{"FortranDouble", header(1) + "lead\n" + data_line({"1.5D+02"}), 12,
                    "Could not parse line: ParseFloatError { kind: Invalid }"},
        FailureCase{"Blanks", header(1) + "lead\n" + std::string(12, ' ') + "\n", 12,
                    "Could not parse line: ParseFloatError { kind: Empty }"},
        FailureCase{"ZeroWidth", header(2) + BLOCK, 0, "Could not parse line: ParseFloatError { kind: Empty }"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReaderTest, OpenFailures) {
  EXPECT_EQ(failure_at((dir_ / "missing.txt").string()),
            "Plot file not found!: Os { code: " + std::to_string(ENOENT) + ", kind: NotFound, message: \"" +
                std::string(std::strerror(ENOENT)) + "\" }");
  EXPECT_EQ(failure_at(std::string("plot\0.txt", 9)),
            "Plot file not found!: Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }");
  EXPECT_EQ(failure_at(dir_.string()), "Failed to read line!: Os { code: " + std::to_string(EISDIR) +
                                           ", kind: IsADirectory, message: \"" + std::string(std::strerror(EISDIR)) +
                                           "\" }");
}

TEST_F(ReaderTest, BadCountCarriesTheWordAndTheFirstLine) {
  for (const char* word : {"parameters", "-3", "+", "-", "4294967296", "3x", "\xEF\xBC\x93"}) {
    SCOPED_TRACE(word);
    std::string first = std::string("3 ") + word;
    ReadError error = error_of(first + "\n");
    EXPECT_EQ(error.kind, ReadError::Kind::Count);
    EXPECT_EQ(error.word, word);
    EXPECT_EQ(error.text, first);
    EXPECT_EQ(error.line, 1u);
    EXPECT_EQ(message_of(error), "The first line should end with the number of parameters:\n'" + first + "'");
  }
}

// Where a failure happened: line numbers follow the file's shape, and a
// field failure names its parameter, block, byte range and text.
TEST_F(ReaderTest, FailuresCarryTheirPlace) {
  std::vector<std::string> ten(10, "1.0");
  std::string good = "lead\n" + data_line(ten) + data_line({"2.0", "3.0"});
  std::vector<std::string> bad = ten;
  bad[3] = "1.5D+02";
  ReadError parse = error_of(header(12) + good + "lead\n" + data_line(bad) + data_line({"2.0", "3.0"}));
  EXPECT_EQ(parse.kind, ReadError::Kind::Parse);
  EXPECT_EQ(parse.line, 13u + 3 + 2);  // header 13 lines, block 0 three, then the lead line
  EXPECT_EQ(parse.block, 1u);
  EXPECT_EQ(parse.parameter, 3u);
  EXPECT_EQ(parse.field_start, 36u);
  EXPECT_EQ(parse.field_end, 48u);
  EXPECT_EQ(parse.text, "     1.5D+02");

  ReadError slice = error_of(header(12) + good + "lead\n" + data_line(ten) + data_line({"2.0"}));
  EXPECT_EQ(slice.kind, ReadError::Kind::Slice);
  EXPECT_EQ(slice.line, 19u);
  EXPECT_EQ(slice.parameter, 11u);
  EXPECT_EQ(slice.line_bytes, 12u);

  ReadError missing = error_of(header(12) + good + "lead\n" + data_line(ten));
  EXPECT_EQ(missing.kind, ReadError::Kind::MissingLine);
  EXPECT_EQ(missing.stage, ReadError::Stage::DataLine);
  EXPECT_EQ(missing.line, 19u);

  ReadError names = error_of("N 3\na\n");
  EXPECT_EQ(names.stage, ReadError::Stage::NameLine);
  EXPECT_EQ(names.line, 3u);

  ReadError open = error_at((dir_ / "missing.txt").string());
  EXPECT_EQ(open.kind, ReadError::Kind::Io);
  EXPECT_EQ(open.error_number(), ENOENT);

  // A line that is not UTF-8 is a kind of its own, whatever line it is.
  ReadError utf8 = error_of("N 2\na\n\xC3\n");
  EXPECT_EQ(utf8.kind, ReadError::Kind::Utf8);
  EXPECT_EQ(utf8.stage, ReadError::Stage::NameLine);
  EXPECT_EQ(utf8.line, 3u);
  EXPECT_EQ(utf8.error_number(), 0);
}

}  // namespace

namespace {

// Every value must land in its column and row however the reader stages
// them: few columns and rows (growing by doubling, rows staged in part),
// enough values for the column arena with the first quarter of the blocks
// padded so that the size estimate falls short (the columns move out of the
// arena into memory of their own), and more columns than are staged.
struct Shape {
  int n, rows;
  bool pad_first_block;
};

class ReaderShapes : public ReaderTest, public testing::WithParamInterface<Shape> {};

TEST_P(ReaderShapes, EveryValueInPlace) {
  const auto [n, rows, pad] = GetParam();
  auto value = [](int b, int k) { return static_cast<float>((b * 7 + k) * 0.25); };
  std::string text = header(n);
  char field[32];
  for (int b = 0; b < rows; ++b) {
    text += "lead\n";
    for (int t = 0; t < n; t += 10) {
      std::string line;
      for (int k = t; k < t + 10 && k < n; ++k) {
        std::snprintf(field, sizeof field, "%12.5E", static_cast<double>(value(b, k)));
        line += field;
      }
      if (b < rows / 4 && pad) line.append(60, '#');  // ignored bytes after the last field
      text += line + "\n";
    }
  }
  Columns result = read_columns(write(text), 12);
  ASSERT_EQ(result.column(0).size(), static_cast<std::size_t>(rows));
  ASSERT_EQ(result.count(), static_cast<std::size_t>(n));
  if (pad) {
    EXPECT_GT(result.arena().rows(), 0u);
    EXPECT_LT(result.arena().rows(), static_cast<std::size_t>(rows));
  }
  for (int k = 0; k < n; ++k) {
    const auto& column = result.column(k);
    ASSERT_EQ(column.size(), static_cast<std::size_t>(rows)) << "column " << k;
    for (int b = 0; b < rows; ++b) ASSERT_EQ(column.data()[b], value(b, k)) << "column " << k << " row " << b;
  }
}

INSTANTIATE_TEST_SUITE_P(Staging, ReaderShapes,
                         testing::Values(Shape{3, 37, false}, Shape{200, 4003, true}, Shape{32769, 3, false}));

// A data line too short for its fields, with more lines after it, is not a
// cut: its field fails, parsed from the copy of the line kept while the
// reader looked for the end of the file, which must carry the padding the
// parser reads past a field (found by the fuzzer).
TEST_F(ReaderTest, ShortLineBeforeMoreLinesFailsOnItsField) {
  const std::string text = header(3) + "lead\n" + data_line({"1.5", "x.5"}) + "lead\n" + data_line({"1", "2", "3"});
  tavrel::lib::PlotOptions options;
  options.width = 12;
  try {
    tavrel::lib::read_plot(write(text), options);
    ADD_FAILURE() << "read succeeded";
  } catch (const ReadError& error) {
    EXPECT_EQ(error.kind, ReadError::Kind::Parse);
    EXPECT_EQ(error.parameter, 1u);
    EXPECT_EQ(error.text, "         x.5");
    EXPECT_EQ(error.line_bytes, 24u);
  }
}

// Reading a pipe in parts: it is opened once, as for one read, since a
// second opening would lose what the writer wrote (or wait for ever for
// one).  A second opening fails here at once instead.
std::string FIFO_PATH;
int FIFO_OPENS = 0;
int counting_open(const char* path, int flags, mode_t mode) {
  if (path == FIFO_PATH && ++FIFO_OPENS > 1) {
    errno = ENXIO;
    return -1;
  }
  return ::open(path, flags, mode);
}

TEST_F(ReaderTest, APipeReadInPartsIsOpenedOnce) {
  FIFO_PATH = (dir_ / "pipe").string();
  FIFO_OPENS = 0;
  ASSERT_EQ(::mkfifo(FIFO_PATH.c_str(), 0600), 0);
  const std::string text = header(1) + " T\n" + data_line({"1.5"}) + " T\n" + data_line({"2.5"});
  std::thread writer([&] { std::ofstream(FIFO_PATH, std::ios::binary) << text; });
  const auto saved = tavrel::text::SYS_CALLS;
  tavrel::text::SYS_CALLS.open = counting_open;
  tavrel::lib::PlotOptions options;
  options.threads = 2;  // and the width detected from the pipe's first timestep
  std::optional<tavrel::lib::Plot> plot;
  try {
    plot = tavrel::lib::read_plot(FIFO_PATH, options);
  } catch (const ReadError& error) {
    ADD_FAILURE() << message_of(error);
  }
  tavrel::text::SYS_CALLS = saved;
  if (!plot) {
    // Let a writer still waiting for a reader go.
    const int fd = ::open(FIFO_PATH.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd >= 0) ::close(fd);
  }
  writer.join();
  EXPECT_EQ(FIFO_OPENS, 1);
  ASSERT_TRUE(plot);
  ASSERT_EQ(plot->values.rows(), 2u);
  EXPECT_EQ(plot->values.data()[1], 2.5f);
}

}  // namespace
