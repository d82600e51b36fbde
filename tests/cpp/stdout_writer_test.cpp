// Tests of the standard-output writer: what a closed or broken standard
// output does to a print.
#include "tavrel/stdout_writer.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "tavrel/failure.hpp"

namespace {

using tavrel::fixed::Failure;
using tavrel::fixed::print_stdout;

constexpr const char* LINE = "Error: 'many' is not a valid number of parameters!\n";

// The message of the failure a print throws; empty when it succeeds.
std::string print_failure() {
  ::testing::internal::CaptureStderr();
  try {
    print_stdout({"Error: '", "many", "' is not a valid number of parameters!\n"});
  } catch (const Failure& failure) {
    std::string report = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find(":\n" + failure.message() + "\n"), std::string::npos) << report;
    return failure.message();
  }
  ::testing::internal::GetCapturedStderr();
  return {};
}

// Standard output closed: the line is dropped silently.  A pipe without
// reader (SIGPIPE ignored): the print fails, and the unwritten line stays
// buffered for the next print.
TEST(StdoutWriter, ClosedAndBrokenStandardOutput) {
  int saved = ::dup(1);
  ASSERT_GE(saved, 0);

  ::close(1);
  std::string closed = print_failure();
  ASSERT_EQ(::dup2(saved, 1), 1);
  EXPECT_EQ(closed, "");

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  auto old_handler = ::signal(SIGPIPE, SIG_IGN);
  ASSERT_EQ(::dup2(fds[1], 1), 1);
  std::string broken = print_failure();
  ::dup2(saved, 1);
  ::signal(SIGPIPE, old_handler);
  ::close(fds[1]);
  ::close(saved);
  EXPECT_EQ(broken, "failed printing to stdout: " + std::string(std::strerror(EPIPE)) + " (os error " +
                        std::to_string(EPIPE) + ")");

  ::testing::internal::CaptureStdout();
  print_stdout({""});
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), LINE);
}

}  // namespace
