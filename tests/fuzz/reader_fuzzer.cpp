// libFuzzer target: the whole reader on arbitrary plot files.
//
// The first input byte picks the field width (12 and 15 most of the time,
// otherwise 0 to 63, or a huge width that makes slice bounds wrap); the rest
// is the file, served from an in-memory file through /proc/self/fd.  Every
// input must end in a result or a ReadError; a result must have one value per
// block in every column, and the file read in parts must give the same
// result or the same failure.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "lib/read_error.hpp"
#include "lib/plot.hpp"
#include "lib/plot_parts.hpp"
#include "lib/reader.hpp"
#include "tavrel/read_message.hpp"

namespace {

std::uint32_t pick_width(std::uint8_t code) {
  switch (code % 8) {
    case 0:
    case 1:
    case 2:
      return 12;
    case 3:
    case 4:
      return 15;
    case 5:
      return 0xFFFFFFFFu - (code >> 3);  // wrapping slice bounds
    default:
      return code >> 2;
  }
}

int memory_file() {
  static int fd = ::memfd_create("plot", 0);
  return fd;
}

// Two reads of one file gave the same values, bit for bit, and lead lines
// with the same numbers.
bool same(const tavrel::lib::Plot& a, const tavrel::lib::Plot& b) {
  const auto& x = a.values;
  const auto& y = b.values;
  if (x.rows() != y.rows() || x.columns() != y.columns() || a.complete != b.complete) return false;
  if (!(a.lead_lines == b.lead_lines)) return false;
  for (std::size_t c = 0; c < x.columns() && x.rows() > 0; ++c) {
    if (std::memcmp(x.data() + c * x.stride(), y.data() + c * y.stride(), x.rows() * sizeof(float)) != 0) return false;
  }
  return a.names == b.names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  int fd = memory_file();
  if (fd < 0) std::abort();
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data + 1, size - 1, 0) != static_cast<ssize_t>(size - 1)) std::abort();
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  try {
    tavrel::lib::Columns result = tavrel::lib::read_columns(path, pick_width(data[0]));
    for (std::size_t i = 1; i < result.count(); ++i) {
      if (result.column(i).size() != result.column(0).size()) std::abort();
    }
  } catch (const tavrel::lib::ReadError& failure) {
    if (tavrel::fixed::message_of(failure).empty() && failure.kind != tavrel::lib::ReadError::Kind::NoMemory) {
      std::abort();
    }
  }
  // The reader with names, lead lines, a selection, partial files and the
  // width detected: the same rule, and one lead line per row.  Then the
  // same read in parts: exactly the same result, or the same failure.
  const std::uint32_t width = pick_width(data[0]);
  if (width == 0) return 0;
  tavrel::lib::PlotOptions options;
  options.width = (data[0] & 4) ? 0 : width;
  options.partial = (data[0] & 1) != 0;
  options.select = (data[0] & 2) != 0;
  if (options.select) options.selected = (data[0] & 8) ? std::vector<std::uint32_t>{} : std::vector<std::uint32_t>{0, 0};
  std::optional<tavrel::lib::Plot> plot;
  std::optional<tavrel::lib::ReadError> failure;
  try {
    plot = tavrel::lib::read_plot(path, options);
    if (plot->lead_lines.size() != plot->values.rows()) std::abort();
    if (plot->values.columns() != (options.select ? options.selected.size() : plot->names.size())) std::abort();
  } catch (const tavrel::lib::ReadError& error) {
    if (tavrel::fixed::message_of(error).empty() && error.kind != tavrel::lib::ReadError::Kind::NoMemory) {
      std::abort();
    }
    failure = error;
  }
  options.threads = 2 + (data[0] >> 4) % 3;
  try {
    tavrel::lib::Plot parts = tavrel::lib::read_plot(path, options);
    if (!plot || !same(*plot, parts)) std::abort();
  } catch (const tavrel::lib::ReadError& again) {
    if (!failure || tavrel::fixed::message_of(again) != tavrel::fixed::message_of(*failure) ||
        again.line != failure->line) {
      std::abort();
    }
  }
  return 0;
}
