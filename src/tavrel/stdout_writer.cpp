// The standard-output line writer; see stdout_writer.hpp.
//
// Buffering follows the line-writer rules exactly, because what reaches
// file descriptor 1, and when, is observable:
// - a piece without a line feed first flushes the buffer if it ends with a
//   completed line, then is buffered (flushing first when it does not fit,
//   bypassing the buffer when it is 1024 bytes or more);
// - a piece with a line feed sends everything up to its last line feed out
//   now (directly when nothing is buffered, else through the buffer followed
//   by a flush) and buffers the rest.
// A failed flush keeps the unwritten bytes, so a later print retries them.
#include "tavrel/stdout_writer.hpp"

#include <errno.h>

#include <cstring>
#include <mutex>
#include <string>

#include "tavrel/fd_write.hpp"
#include "tavrel/failure.hpp"
#include "text/errors.hpp"

namespace tavrel::fixed {
namespace {

// The outcome of a write: success, an errno code, or one of the two
// zero-length-write errors.
struct WriteError {
  enum class Kind { None, Os, BufferedZero, WholeZero } kind = Kind::None;
  int code = 0;
  explicit operator bool() const noexcept { return kind != Kind::None; }
};

// Writes all bytes to descriptor 1; `zero` is the error a zero-length write
// gives.  EBADF counts as everything written: a closed standard output
// drops the text silently.
WriteError write_all(const char* data, std::size_t size, WriteError::Kind zero,
                     std::size_t* written = nullptr) noexcept {
  FdWrite out = write_fd(1, data, size);
  WriteError result;
  if (out.error == EBADF) {
    out.written = size;
  } else if (out.error != 0) {
    result = {WriteError::Kind::Os, out.error};
  } else if (out.zero) {
    result = {zero, 0};
  }
  if (written) *written = out.written;
  return result;
}

class LineWriter {
 public:
  static constexpr std::size_t CAPACITY = 1024;

  std::recursive_mutex& lock() noexcept { return lock_; }

  WriteError write_piece(std::string_view piece) noexcept {
    const void* found = piece.empty() ? nullptr : memrchr(piece.data(), '\n', piece.size());
    if (!found) {
      if (used_ > 0 && buf_[used_ - 1] == '\n') {
        if (WriteError e = flush()) return e;
      }
      return buffer_write(piece);
    }
    std::size_t lines_end = static_cast<std::size_t>(static_cast<const char*>(found) - piece.data()) + 1;
    std::string_view lines = piece.substr(0, lines_end);
    std::string_view tail = piece.substr(lines_end);
    if (used_ == 0) {
      if (WriteError e = write_all(lines.data(), lines.size(), WriteError::Kind::WholeZero)) return e;
    } else {
      if (WriteError e = buffer_write(lines)) return e;
      if (WriteError e = flush()) return e;
    }
    return buffer_write(tail);
  }

 private:
  WriteError buffer_write(std::string_view text) noexcept {
    if (text.size() < CAPACITY - used_) {
      append(text);
      return {};
    }
    if (text.size() > CAPACITY - used_) {
      if (WriteError e = flush()) return e;
    }
    if (text.size() >= CAPACITY) return write_all(text.data(), text.size(), WriteError::Kind::WholeZero);
    append(text);
    return {};
  }

  void append(std::string_view text) noexcept {
    std::memcpy(buf_ + used_, text.data(), text.size());
    used_ += text.size();
  }

  // Sends the buffer; on failure the unwritten bytes stay buffered.
  WriteError flush() noexcept {
    std::size_t written = 0;
    WriteError e = write_all(buf_, used_, WriteError::Kind::BufferedZero, &written);
    std::memmove(buf_, buf_ + written, used_ - written);
    used_ -= written;
    return e;
  }

  std::recursive_mutex lock_;
  char buf_[CAPACITY];
  std::size_t used_ = 0;
};

// Created at the first print, never destroyed: it lives as long as the
// process, like the descriptor it writes to.
LineWriter& stdout_writer() {
  static LineWriter* writer = new LineWriter;
  return *writer;
}

std::string display(const WriteError& error, const std::source_location& where) {
  switch (error.kind) {
    case WriteError::Kind::BufferedZero:
      return "failed to write the buffered data";
    case WriteError::Kind::WholeZero:
      return "failed to write whole buffer";
    default: {
      auto text = text::os_error_text(error.code);
      if (!text) panic("strerror_r failure", where);
      return *text + " (os error " + std::to_string(error.code) + ")";
    }
  }
}

}  // namespace

void print_stdout(std::initializer_list<std::string_view> pieces, std::source_location where) {
  LineWriter& writer = stdout_writer();
  WriteError error;
  {
    std::lock_guard<std::recursive_mutex> hold(writer.lock());
    for (std::string_view piece : pieces) {
      if ((error = writer.write_piece(piece))) break;
    }
  }
  if (error) panic("failed printing to stdout: " + display(error, where), where);
}

}  // namespace tavrel::fixed
