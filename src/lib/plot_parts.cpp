// One plot file read on several threads at once; see plot_parts.hpp.
#include "lib/plot_parts.hpp"

#include <atomic>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "lib/header.hpp"
#include "lib/read_error.hpp"

namespace tavrel::lib {
namespace {

// A block start: its byte offset in the file and its index.
struct Cut {
  std::uint64_t offset;
  std::uint64_t block;
};

// What the parts are planned from: the header, the file's size and the
// first block's length.
struct Layout {
  std::vector<std::string> names;
  std::uint32_t n = 0;
  std::uint64_t header = 0;       // bytes before the first block
  std::uint64_t size = 0;         // the file's size when opened
  std::uint64_t per_block = 0;    // lines per block
  std::uint64_t first_bytes = 0;  // 0: the file has no whole first block
};

// Lines passed by their line feeds; an I/O error counts as the end, which
// leaves the file to the reading on one thread, and so to its failure.
std::uint64_t pass(text::LineSource& lines, std::uint64_t count) noexcept {
  const auto passed = lines.pass_lines(count);
  return passed ? *passed : 0;
}

// The header read, and the lines passed over the first block.
Layout read_layout(text::LineSource& lines) {
  Layout layout;
  layout.n = read_header(lines, &layout.names);
  layout.header = lines.bytes_taken();
  layout.size = lines.size_hint();
  layout.per_block = 1 + (std::uint64_t{layout.n} + 9) / 10;
  if (pass(lines, layout.per_block) == layout.per_block) layout.first_bytes = lines.bytes_taken() - layout.header;
  return layout;
}

// Whether a block of `bytes` bytes and `per_block` lines starts at `offset`,
// as far as its line feeds tell: one just before it, and the block's last
// line ending exactly `bytes` later.
bool block_starts_at(std::string_view path, std::uint64_t offset, std::uint64_t bytes, std::uint64_t per_block) {
  constexpr std::size_t CHECK_READ_BYTES = std::size_t{64} << 10;
  auto opened = text::LineSource::open(path, CHECK_READ_BYTES);
  if (!opened || !opened->restrict_to(offset - 1, bytes + 2)) return false;
  if (pass(*opened, 1) != 1 || opened->bytes_taken() != 1) return false;
  return pass(*opened, per_block) == per_block && opened->bytes_taken() == 1 + bytes;
}

// Cuts at equal shares of the file, each on the block start it would have
// if every block were as long as the first, and each checked there; empty
// when a check fails.
std::vector<Cut> placed_cuts(std::string_view path, const Layout& layout, std::size_t parts) {
  const std::uint64_t body = layout.size - layout.header;
  std::vector<Cut> cuts{{layout.header, 0}};
  for (std::size_t k = 1; k < parts; ++k) {
    const std::uint64_t block = body / parts * k / layout.first_bytes;
    const std::uint64_t offset = layout.header + block * layout.first_bytes;
    if (block <= cuts.back().block) continue;
    if (offset >= layout.size) break;
    if (!block_starts_at(path, offset, layout.first_bytes, layout.per_block)) return {};
    cuts.push_back({offset, block});
  }
  return cuts;
}

// Cuts at the first block start past each equal share of the file, found
// by passing whole blocks' lines from where `lines` stands (after the
// first block).
std::vector<Cut> counted_cuts(text::LineSource& lines, const Layout& layout, std::size_t parts) {
  const std::uint64_t body = layout.size - layout.header;
  std::vector<Cut> cuts{{layout.header, 0}};
  std::uint64_t block = 1;  // blocks passed
  for (std::size_t k = 1; k < parts; ++k) {
    const std::uint64_t target = layout.header + body / parts * k;
    bool more = true;
    while (more && lines.bytes_taken() < target) {
      more = pass(lines, layout.per_block) == layout.per_block;
      block += more ? 1 : 0;
    }
    if (!more || lines.bytes_taken() >= layout.size) break;
    if (block > cuts.back().block) cuts.push_back({lines.bytes_taken(), block});
  }
  return cuts;
}

// One part's read, made on its own thread; failures are kept, not thrown.
struct PartRead {
  explicit PartRead(std::size_t columns)
      : result{ColumnArena(), Column(), ColumnTable(static_cast<std::uint32_t>(columns - 1))} {}
  ReadResult result;
  LeadLines leads;
  BlocksRead blocks{0, true};
  std::exception_ptr failure;
  bool cancelled = false;
};

// What every part shares.
struct Job {
  std::string_view path;
  const Layout& layout;
  const PlotOptions& options;
  const std::vector<Cut>& cuts;
  std::uint64_t rows;  // the arena's room per column
  ColumnArena& arena;
};

// Reads part k into its rows of the arena: from its cut's block on, up to
// the next cut's block (the last part: to the arena's end).
void read_part(const Job& job, std::size_t k, Poll poll, PartRead& out) noexcept {
  try {
    const bool last = k + 1 == job.cuts.size();
    const Cut cut = job.cuts[k];
    text::LineSource lines = open_plot_file(job.path);
    // The last part reads on to the end of the file, as one read would,
    // also past its size when opened.
    const std::uint64_t length = last ? UINT64_MAX : job.cuts[k + 1].offset - cut.offset;
    if (auto moved = lines.restrict_to(cut.offset, length); !moved) {
      fail_io(ReadError::Stage::LeadLine, 0, moved.error(), std::source_location::current());
    }
    const std::uint64_t room = (last ? job.rows : job.cuts[k + 1].block) - cut.block;
    out.result.first.adopt(job.arena.column(0) + cut.block, room);
    for (std::size_t i = 0; i < out.result.others.size(); ++i) {
      out.result.others[i].adopt(job.arena.column(i + 1) + cut.block, room);
    }
    const BlockOptions options{.selected = job.options.selected,
                               .partial = job.options.partial && last,
                               .blank_tail = last,
                               .lead_lines = &out.leads,
                               .first_block = cut.block,
                               .in_place = true,
                               .poll = poll};
    out.blocks = read_blocks(lines, job.layout.n, job.options.width, out.result, options);
  } catch (const ReadError& error) {
    out.cancelled = error.kind == ReadError::Kind::Cancelled;
    out.failure = std::current_exception();
  } catch (...) {
    out.failure = std::current_exception();
  }
}

bool stop_asked(void* flag) noexcept { return static_cast<const std::atomic<bool>*>(flag)->load(std::memory_order_relaxed); }

// Every part read whole, and each but the last ended exactly at the next
// cut after exactly the blocks the cut assumed: then every cut is a block
// start, by induction from the first, which starts after the header.
bool parts_sound(const std::vector<PartRead>& reads, const std::vector<Cut>& cuts) noexcept {
  for (std::size_t k = 0; k < reads.size(); ++k) {
    if (reads[k].failure) return false;
    if (k + 1 < reads.size() && reads[k].blocks.rows != cuts[k + 1].block - cuts[k].block) return false;
  }
  return true;
}

// Whether every part's columns still lie where they were put in the arena.
bool parts_in_place(const std::vector<PartRead>& reads, const std::vector<Cut>& cuts, const ColumnArena& arena) noexcept {
  for (std::size_t k = 0; k < reads.size(); ++k) {
    const ReadResult& result = reads[k].result;
    if (result.first.data() != arena.column(0) + cuts[k].block) return false;
    for (std::size_t i = 0; i < result.others.size(); ++i) {
      if (result.others[i].data() != arena.column(i + 1) + cuts[k].block) return false;
    }
  }
  return true;
}

void append_leads(LeadLines& all, const LeadLines& part) {
  const std::size_t base = all.text.size();
  all.text += part.text;
  for (std::size_t end : part.ends) all.ends.push_back(base + end);
}

struct Plan {
  Layout layout;
  std::vector<Cut> cuts;  // under two: the file is read on one thread
};

Plan plan_parts(std::string_view path, const PlotOptions& options, std::size_t parts) {
  text::LineSource lines = open_plot_file(path);
  // Only a regular file can be read again from the start, and in parts:
  // anything else is left unread for the reading on one thread.
  if (lines.size_hint() == 0) return {};
  Plan plan{read_layout(lines), {}};
  const Layout& layout = plan.layout;
  check_selection(options, layout.n);
  if (layout.n == 0 || layout.first_bytes == 0 || layout.size <= layout.header) return plan;
  plan.cuts = placed_cuts(path, layout, parts);
  if (plan.cuts.empty()) plan.cuts = counted_cuts(lines, layout, parts);
  return plan;
}

}  // namespace

Plot read_plot_in_parts(std::string_view path, const PlotOptions& options, std::size_t parts) {
  if (parts <= 1) return read_plot(path, options);
  Plan plan = plan_parts(path, options, parts);
  Layout& layout = plan.layout;
  const std::vector<Cut>& cuts = plan.cuts;
  if (cuts.size() < 2) return read_plot(path, options);

  // Room for the last part as its share of the file foretells, from the
  // blocks before it, with a little to spare; never more than the file
  // could fill (each value takes a byte at least).
  const std::size_t columns = options.selected.empty() ? layout.n : options.selected.size();
  const Cut& last = cuts.back();
  const std::uint64_t average = (last.offset - layout.header) / last.block;
  const std::uint64_t expected = (layout.size - last.offset) / (average == 0 ? 1 : average);
  const std::uint64_t rows = std::min<std::uint64_t>(last.block + expected + expected / 64 + 4,
                                                     last.block + layout.size / columns + 4);
  ColumnArena arena;
  if (!arena.map(columns, rows, true)) return read_plot(path, options);

  std::vector<PartRead> reads;
  reads.reserve(cuts.size());
  for (std::size_t k = 0; k < cuts.size(); ++k) reads.emplace_back(columns);
  const Job job{path, layout, options, cuts, rows, arena};
  std::atomic<bool> stop{false};
  {
    std::vector<std::jthread> threads;
    threads.reserve(cuts.size() - 1);
    try {
      for (std::size_t k = 1; k < cuts.size(); ++k) {
        threads.emplace_back(read_part, std::cref(job), k, Poll{stop_asked, &stop}, std::ref(reads[k]));
      }
    } catch (const std::system_error&) {
      // No thread to be had: the parts started stop, and one thread reads.
      stop = true;
      threads.clear();
      reads.clear();
      return read_plot(path, options);
    }
    read_part(job, 0, options.poll, reads[0]);
    if (reads[0].failure) stop = true;
  }  // the threads are joined here

  if (reads[0].cancelled) std::rethrow_exception(reads[0].failure);
  if (!parts_sound(reads, cuts)) {
    // A misplaced cut, or a failure: one read of the whole file gives the
    // result or the failure it must be.  The parts' memory goes first.
    reads.clear();
    arena = ColumnArena();
    return read_plot(path, options);
  }

  Plot plot;
  plot.parameters = layout.n;
  plot.names = std::move(layout.names);
  plot.complete = reads.back().blocks.complete;
  std::vector<std::size_t> part_rows;
  std::vector<const ReadResult*> results;
  for (const PartRead& read : reads) {
    append_leads(plot.lead_lines, read.leads);
    part_rows.push_back(read.blocks.rows);
    results.push_back(&read.result);
  }
  const std::size_t total = cuts.back().block + reads.back().blocks.rows;
  if (parts_in_place(reads, cuts, arena)) {
    plot.values = ColumnMatrix::of_arena(std::move(arena), columns, total);
  } else {
    plot.values = ColumnMatrix::joined(results, part_rows);
  }
  return plot;
}

}  // namespace tavrel::lib
