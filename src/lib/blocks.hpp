// The timestep blocks of a plot file, read into columns.
//
// Block b is a lead line and lines_per_block(n) data lines
// (text/block_shape.hpp); it fills row b of every column.  The blocks end
// where a lead line would start and the file ends.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "lib/columns.hpp"
#include "lib/lead_lines.hpp"
#include "text/line_source.hpp"

namespace tavrel::lib {

// Asked now and then during a long read; returning true stops it with a
// ReadError of kind Cancelled.
struct Poll {
  bool (*cancelled)(void* context) = nullptr;
  void* context = nullptr;
};

// How the blocks are read beyond the plain rule.
struct BlockOptions {
  // The parameters to convert, one column each, in this order; empty: every
  // parameter.  The fields of the others are not looked at.
  std::span<const std::uint32_t> selected{};
  // `selected` is a selection even when empty: no parameter is converted,
  // and the columns given (at least one) receive nothing of use.
  bool select = false;
  // A file that ends inside a block, or whose last line is shorter than its
  // fields take, ends with the blocks before it instead of failing.
  bool partial = false;
  // Blank lines after the last block end the file instead of starting a
  // block that fails.
  bool blank_tail = false;
  // A data line shorter than its fields take, with which the file ends, is
  // a cut: the file ends inside its block (a MissingLine failure, or the
  // end of the read with `partial`), not a field that fails.
  bool cut_ends_file = false;
  LeadLines* lead_lines = nullptr;  // where the lead lines go, if anywhere
  // The index of the first block read, when the lines start at a later
  // block than the first (a part of a file): for line numbers and failures.
  std::uint64_t first_block = 0;
  // The columns hold their final storage already (a part of a file read
  // into its place): they are never moved into an arena of their own.
  bool in_place = false;
  // A block whose lead line would start this many bytes or more into the
  // lines is not read: the read ends before it (a part of a file ends
  // at the first block start past its share).
  std::uint64_t stop_before = UINT64_MAX;
  Poll poll{};
};

struct BlocksRead {
  std::size_t rows;
  bool complete;         // false: `partial` cut off an incomplete last block
  bool stopped = false;  // the read ended at `stop_before`, not at the end of the lines
};

// Reads every block after the header from `lines` into `columns`, which
// are empty (one per selected parameter, or one per parameter), or hold
// storage given beforehand (`in_place`); `n` parameters with fields `width`
// bytes wide.  Every failure is a thrown ReadError.
BlocksRead read_blocks(text::LineSource& lines, std::uint32_t n, std::uint32_t width, Columns& columns,
                       const BlockOptions& options = {});

}  // namespace tavrel::lib
