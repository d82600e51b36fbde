// The panic report on standard error, and the throwing of failures.
//
// The report is written the moment a panic starts, before any frame unwinds:
//
//   \nthread '<unnamed>' (12345) panicked at src/lib/reader.cpp:120:9:\n
//   {message}\n
//
// then, by the backtrace style that RUST_BACKTRACE selects once per process,
// a backtrace (short or full) or, for the first report of the process only,
// a note on how to get one.  A mutex keeps reports of different threads
// apart.  Everything goes straight to file descriptor 2 with write(2); write
// errors are ignored, so a closed standard error loses the report but not the
// exception.
#include "tavrel/failure.hpp"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "tavrel/fd_write.hpp"
#include "tavrel/publish_once.hpp"

namespace tavrel::fixed {
namespace {

enum class BacktraceStyle : unsigned char { Undecided = 0, Short = 1, Full = 2, Off = 3 };

// Process-wide, set once at the first report and never reset.
std::atomic<unsigned char> SHOULD_CAPTURE{0};
// Cleared by the first report that reaches its note with the style off.
std::atomic<bool> FIRST_PANIC{true};
// Serialises whole reports, so two threads' reports never interleave.
std::mutex REPORT_LOCK;

constexpr std::string_view NOTE = "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n";
constexpr std::string_view SHORT_CLOSING =
    "note: Some details are omitted, run with `RUST_BACKTRACE=full` for a verbose backtrace.\n";

// Writes to file descriptor 2; errors drop the rest silently.
void write_all(int fd, std::string_view text) noexcept { write_fd(fd, text.data(), text.size()); }

BacktraceStyle get_backtrace_style() noexcept {
  unsigned char cached = SHOULD_CAPTURE.load(std::memory_order_acquire);
  if (cached != 0) return static_cast<BacktraceStyle>(cached);
  BacktraceStyle style = BacktraceStyle::Off;
  if (const char* value = ::getenv("RUST_BACKTRACE")) {
    if (std::strcmp(value, "0") == 0) {
      style = BacktraceStyle::Off;
    } else if (std::strcmp(value, "full") == 0) {
      style = BacktraceStyle::Full;
    } else {
      style = BacktraceStyle::Short;
    }
  }
  return static_cast<BacktraceStyle>(publish_once(SHOULD_CAPTURE, static_cast<unsigned char>(style)));
}

// A fixed buffer that spills to the descriptor when a text does not fit, so
// a report of any length is written whole without heap memory.
class ReportBuffer {
 public:
  void append(std::string_view text) noexcept {
    if (spilled_) {
      write_all(2, text);
      return;
    }
    if (text.size() <= sizeof(buf_) - used_) {
      std::memcpy(buf_ + used_, text.data(), text.size());
      used_ += text.size();
      return;
    }
    spilled_ = true;
    write_all(2, std::string_view(buf_, used_));
    write_all(2, text);
  }
  void append_number(unsigned long long value) noexcept {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
    append(std::string_view(digits, static_cast<std::size_t>(end - digits)));
  }
  void finish() noexcept {
    if (!spilled_) write_all(2, std::string_view(buf_, used_));
  }

 private:
  char buf_[512];
  std::size_t used_ = 0;
  bool spilled_ = false;
};

std::string_view location_file(const std::source_location& where) noexcept {
  std::string_view file = where.file_name();
  // The build maps the source tree to relative paths; should a compiler not
  // do so, cut everything before the last "src/".
  if (auto at = file.rfind("src/"); at != std::string_view::npos && at != 0) file.remove_prefix(at);
  return file;
}

void write_backtrace(BacktraceStyle style) noexcept {
  void* frames[64];
  int count = ::backtrace(frames, 64);
  write_all(2, "stack backtrace:\n");
  // The short form starts above the failure machinery: this function, the
  // report, and panic().
  int first = style == BacktraceStyle::Short ? 3 : 0;
  for (int i = first, shown = 0; i < count; ++i, ++shown) {
    char line[512];
    Dl_info info{};
    const char* name = nullptr;
    char* demangled = nullptr;
    if (::dladdr(frames[i], &info) && info.dli_sname) {
      int status = 0;
      demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
      name = status == 0 && demangled ? demangled : info.dli_sname;
    }
    int n;
    if (name) {
      n = std::snprintf(line, sizeof(line), "%4d: %s\n", shown, name);
    } else if (info.dli_fname) {
      auto offset = static_cast<const char*>(frames[i]) - static_cast<const char*>(info.dli_fbase);
      n = std::snprintf(line, sizeof(line), "%4d: %s+0x%tx\n", shown, info.dli_fname, offset);
    } else {
      n = std::snprintf(line, sizeof(line), "%4d: %p\n", shown, frames[i]);
    }
    ::free(demangled);
    if (n > 0) write_all(2, std::string_view(line, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof(line) - 1)));
  }
  if (style == BacktraceStyle::Short) write_all(2, SHORT_CLOSING);
}

}  // namespace

void write_to_stderr(std::string_view text) noexcept { write_all(2, text); }

void write_panic_report(std::string_view message, const std::source_location& where) noexcept {
  BacktraceStyle style = get_backtrace_style();
  std::lock_guard<std::mutex> hold(REPORT_LOCK);
  ReportBuffer out;
  out.append("\nthread '<unnamed>' (");
  out.append_number(static_cast<unsigned long long>(::syscall(SYS_gettid)));
  out.append(") panicked at ");
  out.append(location_file(where));
  out.append(":");
  out.append_number(where.line());
  out.append(":");
  out.append_number(where.column());
  out.append(":\n");
  out.append(message);
  out.append("\n");
  out.finish();
  switch (style) {
    case BacktraceStyle::Short:
    case BacktraceStyle::Full:
      write_backtrace(style);
      break;
    default:
      if (FIRST_PANIC.exchange(false)) write_all(2, NOTE);
      break;
  }
}

void panic(std::string message, std::source_location where) {
  write_panic_report(message, where);
  throw Failure(std::move(message), where);
}

void resume_panic(std::string message, std::source_location where) {
  throw Failure(std::move(message), where);
}

}  // namespace tavrel::fixed
