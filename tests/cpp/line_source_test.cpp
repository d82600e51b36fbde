// Tests of opening files and reading lines, on real files and through the
// system-call seam (scripted reads that inject EINTR, EIO and short reads).
#include "text/line_source.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "text/memory.hpp"

namespace tavrel::text {
namespace {

// ---- the seam: counting and scripted system calls ----

SysCalls REAL_CALLS;

struct OpenCall {
  std::string path;
  int flags;
  mode_t mode;
};
std::vector<OpenCall> OPEN_CALLS;
int OPEN_EINTR_LEFT = 0;  // how many opens fail with EINTR before a real one
int CLOSE_CALLS = 0;

int recording_open(const char* path, int flags, mode_t mode) {
  OPEN_CALLS.push_back({path, flags, mode});
  if (OPEN_EINTR_LEFT > 0) {
    --OPEN_EINTR_LEFT;
    errno = EINTR;
    return -1;
  }
  return REAL_CALLS.open(path, flags, mode);
}

int counting_close(int fd) {
  ++CLOSE_CALLS;
  return REAL_CALLS.close(fd);
}

// A read either delivers bytes (at most the count asked for; the rest stays
// for the next read), delivers nothing (end of file), or fails with `error`.
struct Chunk {
  std::string bytes;
  int error = 0;
};
std::deque<Chunk> SCRIPT;
std::vector<std::size_t> READ_REQUESTS;

ssize_t scripted_read(int, void* buffer, std::size_t count) {
  READ_REQUESTS.push_back(count);
  if (SCRIPT.empty()) return 0;
  Chunk chunk = std::move(SCRIPT.front());
  SCRIPT.pop_front();
  if (chunk.error != 0) {
    errno = chunk.error;
    return -1;
  }
  const std::size_t n = std::min(count, chunk.bytes.size());
  std::memcpy(buffer, chunk.bytes.data(), n);
  if (n < chunk.bytes.size()) SCRIPT.push_front({chunk.bytes.substr(n)});
  return static_cast<ssize_t>(n);
}

Chunk fail_with(int error) { return {{}, error}; }

// Where each read put its bytes, as the address modulo 64, and where in
// the file a positional read that gave bytes started, modulo 64.
std::vector<std::uintptr_t> READ_OFFSETS;
std::vector<off_t> FILE_OFFSETS;

ssize_t offset_recording_read(int fd, void* buffer, std::size_t count) {
  READ_OFFSETS.push_back(reinterpret_cast<std::uintptr_t>(buffer) % 64);
  return REAL_CALLS.read(fd, buffer, count);
}

ssize_t offset_recording_pread(int fd, void* buffer, std::size_t count, off_t offset) {
  READ_OFFSETS.push_back(reinterpret_cast<std::uintptr_t>(buffer) % 64);
  const ssize_t got = REAL_CALLS.pread(fd, buffer, count, offset);
  if (got > 0) FILE_OFFSETS.push_back(offset % 64);  // a read at the end copies nothing
  return got;
}

// ---- helpers ----

constexpr std::string_view END = "<end>";

// A line as its text, an error as its description in brackets, end of
// input as <end>.
std::string outcome(const std::expected<std::optional<std::string_view>, IoError>& result) {
  if (!result) return "[" + describe(result.error()).value_or("?") + "]";
  if (!*result) return std::string(END);
  return std::string(**result);
}

std::vector<std::string> read_outcomes(LineSource& source, std::size_t count) {
  std::vector<std::string> outcomes;
  for (std::size_t i = 0; i < count; ++i) outcomes.push_back(outcome(source.next_line()));
  return outcomes;
}

const std::string INVALID_UTF8 = "[Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }]";

class LineSourceTest : public testing::Test {
 protected:
  void SetUp() override {
    REAL_CALLS = SYS_CALLS;
    OPEN_CALLS.clear();
    OPEN_EINTR_LEFT = 0;
    CLOSE_CALLS = 0;
    SCRIPT.clear();
    READ_REQUESTS.clear();
    std::string pattern = (std::filesystem::temp_directory_path() / "line_source_test.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    SYS_CALLS = REAL_CALLS;
    std::filesystem::remove_all(dir_);
#ifdef TAVREL_ALLOC_HOOK
    fail_nth_allocation(0);
#endif
  }

  std::string write_file(std::string_view bytes, std::string_view name = "plot.txt") {
    const std::string path = dir_ + "/" + std::string(name);
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  LineSource open_ok(const std::string& path) {
    auto source = LineSource::open(path);
    // GoogleTest reports an exception that leaves the test body as a failure.
    if (!source) throw std::runtime_error("open failed: " + describe(source.error()).value_or("?"));
    return std::move(*source);
  }

  // A line source whose reads follow `chunks` (over a real, empty file).
  LineSource scripted(std::vector<Chunk> chunks) {
    LineSource source = open_ok(write_file("", "scripted.txt"));
    SCRIPT.assign(chunks.begin(), chunks.end());
    SYS_CALLS.read = scripted_read;
    return source;
  }

  std::string dir_;
};

// ---- lines from real files ----

TEST_F(LineSourceTest, LineRules) {
  struct Row {
    std::string bytes;
    std::vector<std::string> lines;  // before end of input
  };
  const Row rows[] = {
      {"", {}},
      {"A\nB\n", {"A", "B"}},
      {"A\nB", {"A", "B"}},
      {"\n", {""}},
      {"\n\n", {"", ""}},
      {"\r\n", {""}},
      {"A\r\n", {"A"}},
      {"A\r\r\n", {"A\r"}},
      {"A\r", {"A\r"}},
      {"A\rB\n", {"A\rB"}},
      {"A\n\rB\r\n", {"A", "\rB"}},
      {"x \t\n", {"x \t"}},
      {std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
      {"\xEF\xBB\xBFNPARAM 3\n", {"\xEF\xBB\xBFNPARAM 3"}},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF\n", {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF"}},
      // Ill-formed lines are consumed; the lines around them read normally.
      {"A\n\xFF\nB\n", {"A", INVALID_UTF8, "B"}},
      {"A\n\xC3", {"A", INVALID_UTF8}},
      {"A\n\xC3\nB", {"A", INVALID_UTF8, "B"}},
      {"\xC0\xAF\n\xE0\x80\x80\n\xED\xA0\x80\n\xF4\x90\x80\x80\n\xF5\x80\x80\x80\nok\n",
       {INVALID_UTF8, INVALID_UTF8, INVALID_UTF8, INVALID_UTF8, INVALID_UTF8, "ok"}},
      {"0123456789abcdef\x80" "0123456789abcdef\n", {INVALID_UTF8}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.bytes));
    LineSource source = open_ok(write_file(row.bytes));
    std::vector<std::string> expected = row.lines;
    expected.insert(expected.end(), {std::string(END), std::string(END)});
    EXPECT_EQ(read_outcomes(source, expected.size()), expected);
  }
}

TEST_F(LineSourceTest, LongLineComesBackWhole) {
  std::string line;
  while (line.size() < 99997) line += "0123456789\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // 19 bytes
  line += "abc";
  ASSERT_EQ(line.size(), 100000u);
  LineSource source = open_ok(write_file(line + "\nnext\n"));
  EXPECT_EQ(read_outcomes(source, 3), (std::vector<std::string>{line, "next", std::string(END)}));
}

TEST_F(LineSourceTest, LinesAtRefillBoundaries) {
  // Lines whose terminator ends just before, at and just after the end of
  // the first buffer; with CR LF, the CR can be the buffer's last byte.
  for (std::size_t length : {8190u, 8191u, 8192u, 8193u, 8194u}) {
    for (std::string terminator : {"\n", "\r\n"}) {
      SCOPED_TRACE(testing::Message() << "length " << length << ", CR LF " << (terminator.size() == 2));
      const std::string first(length - terminator.size(), 'x');
      LineSource source = open_ok(write_file(first + terminator + "second\n"));
      EXPECT_EQ(read_outcomes(source, 3), (std::vector<std::string>{first, "second", std::string(END)}));
    }
  }
}

// Passing lines by their line feeds across refills of a 16-byte buffer:
// after passing k lines, the next line read is line k; a last line without
// a line feed counts; count_line_feeds counts line feeds only.
TEST_F(LineSourceTest, PassingLinesAcrossRefills) {
  const std::vector<std::string> lines = {"a", "", std::string(40, 'b'), "cc", std::string(15, 'd'), "e",
                                          std::string(16, 'f'), "last"};
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  for (bool terminated : {true, false}) {
    const std::string path = write_file(terminated ? text : text.substr(0, text.size() - 1));
    for (std::size_t k = 0; k <= lines.size() + 1; ++k) {
      SCOPED_TRACE(testing::Message() << "pass " << k << ", terminated " << terminated);
      auto source = LineSource::open(path, 16);
      ASSERT_TRUE(source);
      ASSERT_EQ(source->pass_lines(k).value(), std::min(k, lines.size()));
      const auto next = source->next_line().value();
      if (k < lines.size()) {
        ASSERT_EQ(next.value(), lines[k]);
      } else {
        ASSERT_FALSE(next.has_value());
      }
    }
    auto source = LineSource::open(path, 16);
    ASSERT_TRUE(source);
    EXPECT_EQ(source->count_line_feeds().value(), lines.size() - (terminated ? 0 : 1));
  }
}

TEST_F(LineSourceTest, CharactersSplitAcrossRefillsAreAccepted) {
  for (std::string_view character : {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"}) {
    for (std::size_t before = 1; before < character.size(); ++before) {
      SCOPED_TRACE(testing::Message() << character.size() << "-byte character, " << before << " byte(s) in the first buffer");
      const std::string line = std::string(LineSource::BUFFER_SIZE - before, 'a') + std::string(character) + "z";
      LineSource source = open_ok(write_file(line + "\nb\n"));
      EXPECT_EQ(read_outcomes(source, 3), (std::vector<std::string>{line, "b", std::string(END)}));
    }
  }
}

TEST_F(LineSourceTest, IllFormedLongLineIsConsumedWhole) {
  const std::string bad = std::string(9000, 'a') + "\xFF" + std::string(9000, 'b');
  LineSource source = open_ok(write_file("ok\n" + bad + "\nafter\n"));
  EXPECT_EQ(read_outcomes(source, 4), (std::vector<std::string>{"ok", INVALID_UTF8, "after", std::string(END)}));
}

TEST_F(LineSourceTest, LinesInsideTheBufferAreNotCopied) {
  LineSource source = open_ok(write_file("ab\ncd\n"));
  const char* first = source.next_line().value()->data();
  const char* second = source.next_line().value()->data();
  EXPECT_EQ(second, first + 3);
}

// ---- opening ----

TEST_F(LineSourceTest, DirectoryOpensAndFailsOnFirstRead) {
  LineSource source = open_ok(dir_);
  const auto result = source.next_line();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), EISDIR);
  EXPECT_EQ(result.error().kind(), ErrorKind::IsADirectory);
}

TEST_F(LineSourceTest, MissingFileIsNotFound) {
  const auto source = LineSource::open(dir_ + "/missing.txt");
  ASSERT_FALSE(source);
  EXPECT_EQ(source.error().form(), IoError::Form::Os);
  EXPECT_EQ(source.error().code(), ENOENT);
  EXPECT_EQ(source.error().kind(), ErrorKind::NotFound);
}

TEST_F(LineSourceTest, NulInPathFailsWithoutSystemCall) {
  SYS_CALLS.open = recording_open;
  const std::string existing = write_file("x\n");
  for (const std::string& path : {existing + std::string(1, '\0'), std::string("\0", 1),
                                  existing + std::string(1, '\0') + std::string(600, 'a')}) {
    const auto source = LineSource::open(path);
    ASSERT_FALSE(source);
    EXPECT_EQ(describe(source.error()),
              "Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }");
  }
  EXPECT_TRUE(OPEN_CALLS.empty());
}

TEST_F(LineSourceTest, PathsOnTheStackAndOnTheHeapOpenTheSameFile) {
  const std::string file = write_file("content\n");
  SYS_CALLS.open = recording_open;
  for (std::size_t length : {382u, 383u, 384u, 385u, 4000u}) {
    SCOPED_TRACE(testing::Message() << "path of " << length << " bytes");
    // dir/././.../plot.txt, padded to the exact length with "./" and "/".
    const std::size_t padding = length - file.size();
    const std::string path = dir_ + "/" + std::string(padding % 2, '/');
    std::string padded = path;
    for (std::size_t i = 0; i < padding / 2; ++i) padded += "./";
    padded += "plot.txt";
    ASSERT_EQ(padded.size(), length);
    OPEN_CALLS.clear();
    LineSource source = open_ok(padded);
    ASSERT_EQ(OPEN_CALLS.size(), 1u);
    EXPECT_EQ(OPEN_CALLS[0].path, padded);
    EXPECT_EQ(OPEN_CALLS[0].flags, O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(OPEN_CALLS[0].mode, 0666u);
    EXPECT_EQ(read_outcomes(source, 2), (std::vector<std::string>{"content", std::string(END)}));
  }
}

TEST_F(LineSourceTest, OverlongPathIsTheSystemsError) {
  const auto source = LineSource::open(dir_ + "/" + std::string(5000, 'a'));
  ASSERT_FALSE(source);
  EXPECT_EQ(source.error().code(), ENAMETOOLONG);
  EXPECT_EQ(source.error().kind(), ErrorKind::InvalidFilename);
}

TEST_F(LineSourceTest, OpenRepeatsOnEintr) {
  const std::string path = write_file("x\n");
  SYS_CALLS.open = recording_open;
  OPEN_EINTR_LEFT = 3;
  LineSource source = open_ok(path);
  EXPECT_EQ(OPEN_CALLS.size(), 4u);
  EXPECT_EQ(read_outcomes(source, 2), (std::vector<std::string>{"x", std::string(END)}));
}

TEST_F(LineSourceTest, DroppingTheSourceClosesTheFile) {
  SYS_CALLS.close = counting_close;
  {
    LineSource source = open_ok(write_file("x\n"));
    LineSource moved(std::move(source));
    EXPECT_EQ(CLOSE_CALLS, 0);
  }
  EXPECT_EQ(CLOSE_CALLS, 1);
}

// ---- scripted reads ----

TEST_F(LineSourceTest, ScriptedReads) {
  struct Row {
    std::string_view name;
    std::vector<Chunk> chunks;
    std::vector<std::string> outcomes;
  };
  const std::string eio = "[Os { code: " + std::to_string(EIO) + ", kind: Uncategorized, message: \"" +
                          std::string(std::strerror(EIO)) + "\" }]";
  const Row rows[] = {
      {"EINTR keeps the partial line",
       {{"ab"}, fail_with(EINTR), {"c\nd"}, fail_with(EINTR), fail_with(EINTR), {"e\n"}},
       {"abc", "de", std::string(END)}},
      {"EIO drops the partial line",
       {{"ab"}, fail_with(EIO), {"c\n"}},
       {eio, "c", std::string(END)}},
      {"EIO between lines", {{"a\n"}, fail_with(EIO), {"b\n"}}, {"a", eio, "b", std::string(END)}},
      {"one byte per read",
       {{"A"}, {"\r"}, {"\n"}, {"B"}, {"\xC3"}, {"\xA9"}, {"\n"}},
       {"A", "B\xC3\xA9", std::string(END)}},
      {"CR at the end of input", {{"A\r"}}, {"A\r", std::string(END)}},
      {"reading goes on after end of input",
       {{"a\n"}, {""}, {"b"}, {""}, {"c\n"}},
       {"a", std::string(END), "b", "c", std::string(END)}},
      {"truncated character at end of input", {{"ok\n\xE2\x82"}}, {"ok", INVALID_UTF8, std::string(END)}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    LineSource source = scripted(row.chunks);
    EXPECT_EQ(read_outcomes(source, row.outcomes.size()), row.outcomes);
  }
  // Every refill asks for the whole buffer.
  for (std::size_t request : READ_REQUESTS) EXPECT_EQ(request, LineSource::BUFFER_SIZE);
}

// The kernel's copy into a buffer 16 bytes past a 64-byte boundary runs
// several times slower on some processors; malloc puts large blocks there.
TEST_F(LineSourceTest, ReadsLandOnA64ByteBoundary) {
  std::string text;
  for (int i = 0; i < 4000; ++i) text += "line " + std::to_string(i) + "\n";
  const std::string path = write_file(text);
  SYS_CALLS.read = offset_recording_read;
  SYS_CALLS.pread = offset_recording_pread;
  READ_OFFSETS.clear();
  for (std::size_t size : {std::size_t{100}, std::size_t{8192}, std::size_t{200000}, std::size_t{1} << 20}) {
    auto opened = LineSource::open(path, size);
    ASSERT_TRUE(opened);
    // A mark kept over more bytes than the buffer holds makes the rewind
    // grow the buffer; the reads after it must still be aligned.
    opened->mark();
    while (opened->bytes_taken() < 3 * size && opened->bytes_taken() < text.size()) ASSERT_TRUE(opened->next_line());
    ASSERT_TRUE(opened->rewind(0));
    for (int i = 0; i < 4000; ++i) ASSERT_EQ(outcome(opened->next_line()), "line " + std::to_string(i));
  }
  ASSERT_GT(READ_OFFSETS.size(), 8u);
  for (std::uintptr_t offset : READ_OFFSETS) EXPECT_EQ(offset, 0u);
}

// A part of a file read from any offset: its reads start on a 64-byte
// boundary of the file (the copy is slow where file and buffer lie
// differently within 64 bytes), and it gives exactly the part's lines, also
// after a mark and rewind made before its first line.
TEST_F(LineSourceTest, APartReadsFromA64ByteBoundaryOfTheFile) {
  std::string text;
  for (int i = 0; i < 4000; ++i) text += "line " + std::to_string(i) + "\n";
  const std::string path = write_file(text);
  auto opened = LineSource::open(path);
  ASSERT_TRUE(opened);
  SYS_CALLS.pread = offset_recording_pread;
  // Read sizes that are multiples of 64, as the reader's are.
  for (std::size_t size : {std::size_t{128}, std::size_t{8192}, std::size_t{1} << 20}) {
    for (std::size_t line : {0, 1, 7, 3999}) {
      const std::size_t start = text.find("line " + std::to_string(line) + "\n");
      for (const bool marked : {false, true}) {
        for (const std::uint64_t length : {std::uint64_t{UINT64_MAX}, std::uint64_t{30}}) {
          FILE_OFFSETS.clear();
          auto part = LineSource::at(opened->descriptor(), start, length, size);
          ASSERT_TRUE(part);
          if (marked) {
            part->mark();
            ASSERT_EQ(outcome(part->next_line()), "line " + std::to_string(line));
            ASSERT_TRUE(part->rewind(0));
          }
          std::string got;
          for (auto next = part->next_line(); next && *next; next = part->next_line()) got += std::string(**next) + "\n";
          std::string expected = length == UINT64_MAX ? text.substr(start) : text.substr(start, length);
          const std::uint64_t bytes = expected.size();
          if (expected.back() != '\n') expected += '\n';  // a part may end inside a line
          EXPECT_EQ(got, expected);
          EXPECT_EQ(part->bytes_taken(), bytes);
          for (off_t offset : FILE_OFFSETS) EXPECT_EQ(offset, 0);
        }
      }
    }
  }
}

TEST_F(LineSourceTest, OneReadPerRefill) {
  LineSource source = scripted({{"a\nb\nc\n"}});
  EXPECT_EQ(read_outcomes(source, 4), (std::vector<std::string>{"a", "b", "c", std::string(END)}));
  EXPECT_EQ(READ_REQUESTS.size(), 2u);  // the data, then end of file
}

// ---- allocation ----

#ifdef TAVREL_ALLOC_HOOK

TEST_F(LineSourceTest, ReadBufferAllocationFailureClosesTheFile) {
  const std::string path = write_file("x\n");
  SYS_CALLS.close = counting_close;
  fail_nth_allocation(1);
  const auto source = LineSource::open(path);
  ASSERT_FALSE(source);
  EXPECT_EQ(source.error().form(), IoError::Form::OutOfMemory);
  EXPECT_EQ(source.error().bytes(), LineSource::BUFFER_SIZE + LineSource::LINE_PADDING);
  EXPECT_EQ(CLOSE_CALLS, 1);
}

TEST_F(LineSourceTest, LongPathCopyAllocationFailure) {
  SYS_CALLS.open = recording_open;
  const std::string path = dir_ + "/" + std::string(500, 'p');
  fail_nth_allocation(1);
  const auto source = LineSource::open(path);
  ASSERT_FALSE(source);
  EXPECT_EQ(source.error().form(), IoError::Form::OutOfMemory);
  EXPECT_EQ(source.error().bytes(), path.size() + 1);
  EXPECT_TRUE(OPEN_CALLS.empty());
}

TEST_F(LineSourceTest, LineAssemblyAllocationFailure) {
  LineSource source = scripted({{"abc"}, {"def\n"}});
  fail_nth_allocation(1);
  const auto result = source.next_line();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().form(), IoError::Form::OutOfMemory);
  EXPECT_GE(result.error().bytes(), 3u);
}

TEST_F(LineSourceTest, AllocationsStayFewAsLinesGrow) {
  std::string content;
  for (int i = 0; i < 2000; ++i) content += "short line " + std::to_string(i) + "\n";
  const std::string huge(1'000'000, 'h');
  content += huge + "\n";
  const std::string path = write_file(content);

  fail_nth_allocation(0);
  LineSource source = open_ok(path);
  EXPECT_EQ(fail_nth_allocation(0), 1);  // the read buffer
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(outcome(source.next_line()), "short line " + std::to_string(i));
  // Lines inside the buffer are views, and lines crossing refills are
  // assembled in one reused buffer: at most one allocation for those short
  // lines that straddled a refill.
  EXPECT_LE(fail_nth_allocation(0), 1);
  EXPECT_EQ(outcome(source.next_line()), huge);
  // 123 refills, but the buffer doubles: a handful of reallocations.
  EXPECT_LE(fail_nth_allocation(0), 10);
}

#endif  // TAVREL_ALLOC_HOOK

}  // namespace
}  // namespace tavrel::text
