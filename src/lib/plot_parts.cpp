// One plot file read on several threads at once; see plot_parts.hpp.
#include "lib/plot_parts.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
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

// Lines passed by their line feeds; an I/O error is thrown.
std::uint64_t pass(text::LineSource& lines, std::uint64_t count) {
  const auto passed = lines.pass_lines(count);
  if (!passed) fail_io(ReadError::Stage::DataLine, 0, passed.error(), std::source_location::current());
  return *passed;
}

// Whether a block of `bytes` bytes and `per_block` lines starts at `offset`,
// as far as its line feeds tell: one just before it, and the block's last
// line ending exactly `bytes` later.
bool block_starts_at(const PlotFile& file, std::uint64_t offset, std::uint64_t bytes, std::uint64_t per_block) {
  constexpr std::size_t CHECK_READ_BYTES = std::size_t{64} << 10;
  text::LineSource lines = file.at(offset - 1, bytes + 2, CHECK_READ_BYTES);
  if (pass(lines, 1) != 1 || lines.bytes_taken() != 1) return false;
  return pass(lines, per_block) == per_block && lines.bytes_taken() == 1 + bytes;
}

// Cuts at equal shares of the file, each on the block start it would have
// if every block were as long as the first, and each checked there; empty
// when a check fails.
std::vector<Cut> placed_cuts(const PlotFile& file, const Layout& layout, std::size_t parts) {
  const std::uint64_t body = file.size() - layout.header;
  std::vector<Cut> cuts{{layout.header, 0}};
  for (std::size_t k = 1; k < parts; ++k) {
    const std::uint64_t block = body / parts * k / layout.first_bytes;
    const std::uint64_t offset = layout.header + block * layout.first_bytes;
    if (block <= cuts.back().block) continue;
    if (offset >= file.size()) break;
    if (!block_starts_at(file, offset, layout.first_bytes, layout.per_block)) return {};
    cuts.push_back({offset, block});
  }
  return cuts;
}

// Where the shares of the file end: part k (k > 0) starts at the first
// block start at or after ends[k - 1], and part k - 1 stops there.  The
// first share is one and a half times the others: every other part first
// counts the line feeds of the share before its own.  On this project's
// 2-core machine, with that split both parts of a 400 MB file ended within
// a few milliseconds of each other where the machine was quiet; with twice
// the others, the first part ended last, by tens of milliseconds.
std::vector<std::uint64_t> share_ends(const PlotFile& file, const Layout& layout, std::size_t parts) {
  const std::uint64_t half_share = (file.size() - layout.header) / (2 * parts + 1);
  std::vector<std::uint64_t> ends;
  for (std::size_t k = 1; k < parts; ++k) ends.push_back(layout.header + half_share * (2 * k + 1));
  return ends;
}

// The line feeds of each share, counted by the parts' threads at once:
// part k counts share k - 1 (from the previous share's end, or the header,
// to ends[k - 1]) and needs every count before its own start.
class FeedCounts {
 public:
  explicit FeedCounts(std::size_t shares) : counts_(shares), done_(shares, false) {}

  void put(std::size_t share, std::optional<std::uint64_t> count) {
    {
      std::lock_guard lock(mutex_);
      counts_[share] = count;
      done_[share] = true;
    }
    changed_.notify_all();
  }

  // The line feeds from the header to the end of share `share`; nothing
  // when a count failed or the read was given up.
  std::optional<std::uint64_t> through(std::size_t share) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] {
      if (abandoned_) return true;
      for (std::size_t i = 0; i <= share; ++i) if (!done_[i]) return false;
      return true;
    });
    if (abandoned_) return std::nullopt;
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i <= share; ++i) {
      if (!counts_[i]) return std::nullopt;
      sum += *counts_[i];
    }
    return sum;
  }

  void abandon() {
    {
      std::lock_guard lock(mutex_);
      abandoned_ = true;
    }
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::optional<std::uint64_t>> counts_;
  std::vector<bool> done_;
  bool abandoned_ = false;
};

// The line feeds in bytes [from, to); an I/O error or want of memory is thrown.
std::uint64_t feeds_between(const PlotFile& file, std::uint64_t from, std::uint64_t to) {
  text::LineSource lines = file.at(from, to - from, std::size_t{256} << 10);
  const auto feeds = lines.count_line_feeds();
  if (!feeds) fail_io(ReadError::Stage::DataLine, 0, feeds.error(), std::source_location::current());
  return *feeds;
}

// The first block start at or after byte `at` (past the header), given the
// line feeds from the header to it; nothing when there is none, past the
// end of the file.  Failures are thrown.
std::optional<Cut> block_start_from(const PlotFile& file, const Layout& layout, std::uint64_t at,
                                    std::uint64_t feeds) {
  text::LineSource lines = file.at(at - 1, UINT64_MAX, PLOT_READ_BYTES);
  // Past the line feed at or after at - 1: when it is at at - 1 (counted
  // in `feeds`), line `feeds` starts at `at`; else the line after it is
  // the next one.
  if (pass(lines, 1) != 1) return std::nullopt;
  const std::uint64_t line = feeds + (lines.bytes_taken() == 1 ? 0 : 1);
  const std::uint64_t skip = (layout.per_block - line % layout.per_block) % layout.per_block;
  if (pass(lines, skip) != skip) return std::nullopt;
  return Cut{at - 1 + lines.bytes_taken(), (line + skip) / layout.per_block};
}

// One part's read, made on its own thread; failures are kept, not thrown.
struct PartRead {
  explicit PartRead(std::size_t columns) : result(columns) {}
  Columns result;
  std::optional<Cut> start;  // nothing: the part lies past the file's last block start (or failed)
  std::uint64_t end = 0;     // the byte after the part's last block
  LeadLines leads;
  BlocksRead blocks{0, true, false};
  std::exception_ptr failure;
  bool cancelled = false;
};

// The plan of a read in parts: where the parts start, and the room each
// column has in the arena.
struct PartPlan {
  // Placed cuts: every part's start and, but for the last, its exact end.
  // Else (empty): where each share but the last ends, the parts finding
  // their starts by counts.
  std::vector<Cut> placed;
  std::vector<std::uint64_t> ends;
  std::size_t parts = 0;
  std::uint64_t rows = 0;    // the arena's room per column
  bool large_pages = false;  // the room is vouched for by blocks measured
};

// What every part shares.
struct Job {
  const PlotFile& file;
  const Layout& layout;
  std::uint32_t width;
  const PlotOptions& options;
  const PartPlan& plan;
  FeedCounts& counts;
  ColumnArena& arena;
};

// Where part k starts: placed, or found from the line feeds before its share.
std::optional<Cut> start_of(const Job& job, std::size_t k) {
  if (!job.plan.placed.empty()) return job.plan.placed[k];
  if (k == 0) return Cut{job.layout.header, 0};
  const std::uint64_t from = k == 1 ? job.layout.header : job.plan.ends[k - 2];
  std::optional<std::uint64_t> count;
  try {
    count = feeds_between(job.file, from, job.plan.ends[k - 1]);
  } catch (...) {
    job.counts.put(k - 1, std::nullopt);
    throw;
  }
  job.counts.put(k - 1, count);
  const std::optional<std::uint64_t> feeds = job.counts.through(k - 1);
  // A count that failed fails this part too: every later part needs it.
  if (!feeds) fail_cancelled();
  return block_start_from(job.file, job.layout, job.plan.ends[k - 1], *feeds);
}

// Reads part k into its rows of the arena, from its start's block on, up
// to the block start at or after its share's end.
void read_part(const Job& job, std::size_t k, Poll poll, PartRead& out) noexcept {
  try {
    out.start = start_of(job, k);
    if (!out.start) return;
    const Cut cut = *out.start;
    const std::size_t parts = job.plan.placed.empty() ? job.plan.ends.size() + 1 : job.plan.placed.size();
    const bool last = k + 1 == parts;
    text::LineSource lines = job.file.at(cut.offset, UINT64_MAX, PLOT_READ_BYTES);
    // Placed cuts give each part exactly its room, so that one misplaced
    // writes its own memory; counted ones give the rest of the arena, which
    // a part of exact cuts fills only up to the next part's first row.
    const std::uint64_t limit = !last && !job.plan.placed.empty() ? job.plan.placed[k + 1].block : job.plan.rows;
    if (cut.block < limit) {
      const std::uint64_t room = limit - cut.block;
      for (std::size_t c = 0; c < out.result.count(); ++c) {
        out.result.column(c).adopt(job.arena.column(c) + cut.block, room);
      }
    }
    const std::uint64_t stop = last ? UINT64_MAX
                               : !job.plan.placed.empty() ? job.plan.placed[k + 1].offset
                                                     : job.plan.ends[k];
    // Every part reads as the one read would, blank tails and partial
    // files included: those only ever apply at the end of the file.
    const BlockOptions options{.selected = job.layout.selected,
                               .select = job.layout.select,
                               .partial = job.options.partial,
                               .blank_tail = true,
                               .cut_ends_file = true,
                               .lead_lines = &out.leads,
                               .first_block = cut.block,
                               .in_place = true,
                               .stop_before = stop == UINT64_MAX ? UINT64_MAX : stop > cut.offset ? stop - cut.offset : 0,
                               .poll = poll};
    out.blocks = read_blocks(lines, job.layout.n, job.width, out.result, options);
    out.end = cut.offset + lines.bytes_taken();
  } catch (const ReadError& error) {
    out.cancelled = error.kind == ReadError::Kind::Cancelled;
    out.start.reset();
    out.failure = std::current_exception();
  } catch (...) {
    out.start.reset();
    out.failure = std::current_exception();
  }
}

bool stop_asked(void* flag) noexcept { return static_cast<const std::atomic<bool>*>(flag)->load(std::memory_order_relaxed); }

// Every part read whole, and each ended exactly where the next starts,
// after exactly the blocks between their first rows: then every start is a
// block start, by induction from the first, which follows the header.  A
// part without a start lies past the last block start, and so does every
// later one; the part before it must then have read to the end of the
// file, not stopped at its share's end.
bool parts_sound(const std::vector<PartRead>& reads) noexcept {
  for (std::size_t k = 0; k < reads.size(); ++k) {
    const PartRead& read = reads[k];
    if (read.failure) return false;
    if (!read.start) {
      if (k == 0 || reads[k - 1].blocks.stopped) return false;
      for (std::size_t j = k; j < reads.size(); ++j) if (reads[j].start || reads[j].failure) return false;
      return true;
    }
    if (k + 1 < reads.size() && reads[k + 1].start) {
      const Cut next = *reads[k + 1].start;
      if (!read.blocks.complete || read.end != next.offset || read.start->block + read.blocks.rows != next.block) {
        return false;
      }
    }
  }
  return true;
}

// Whether every part's columns still lie where they were put in the arena.
bool parts_in_place(const std::vector<PartRead>& reads, const ColumnArena& arena) noexcept {
  for (const PartRead& read : reads) {
    if (!read.start || read.blocks.rows == 0) continue;
    const std::uint64_t block = read.start->block;
    for (std::size_t c = 0; c < read.result.count(); ++c) {
      if (read.result.column(c).data() != arena.column(c) + block) return false;
    }
  }
  return true;
}

// Step one, the plan: the cuts placed, or the shares whose line feeds the
// parts count, and the arena's room.  Nothing when the file is better read
// on one thread: fewer blocks than parts, or the planning's own failure
// (memory, a read error), which leaves the file to the one read, and so to
// its own failure, if it has one.
std::optional<PartPlan> plan_parts(const PlotFile& file, const Layout& layout, std::size_t parts) {
  // Under a block per part, parts are not worth their threads.
  if (layout.n == 0 || layout.first_bytes == 0 || file.size() < layout.header ||
      file.size() - layout.header < parts * layout.first_bytes) {
    return std::nullopt;
  }
  PartPlan plan;
  try {
    plan.placed = placed_cuts(file, layout, parts);
  } catch (const ReadError& error) {
    if (error.kind == ReadError::Kind::Cancelled) throw;
    return std::nullopt;
  }
  if (plan.placed.size() == 1) return std::nullopt;
  if (plan.placed.empty()) plan.ends = share_ends(file, layout, parts);
  plan.parts = plan.placed.empty() ? parts : plan.placed.size();
  // Room for every row the file's length foretells, from the first block
  // (placed cuts: from the blocks before the last cut), with a little to
  // spare; never more than the file could fill (each value takes a byte).
  const std::size_t columns = std::max<std::size_t>(layout.columns(), 1);
  const Cut last = plan.placed.empty() ? Cut{layout.header, 0} : plan.placed.back();
  const std::uint64_t average = last.block == 0 ? layout.first_bytes : (last.offset - layout.header) / last.block;
  const std::uint64_t expected = (file.size() - last.offset) / (average == 0 ? 1 : average);
  plan.rows = std::min<std::uint64_t>(last.block + expected + expected / 64 + 4 + plan.parts,
                                      last.block + file.size() / columns + 4);
  // Large pages only where the blocks measured vouch for the size: the
  // columns lie side by side, each far smaller than a large page, so the
  // first rows written would make the whole arena resident.  Counted cuts
  // know the first block alone, and later blocks may be far longer.
  plan.large_pages = !plan.placed.empty();
  return plan;
}

// Step two, the run: every part read into its rows of `arena`, part 0 on
// this thread and each other on a thread of its own, all joined on return.
// Empty when no thread could be had.
std::vector<PartRead> run_parts(const Job& job) {
  const std::size_t count = job.plan.parts;
  const std::size_t columns = std::max<std::size_t>(job.layout.columns(), 1);
  std::vector<PartRead> reads;
  reads.reserve(count);
  for (std::size_t k = 0; k < count; ++k) reads.emplace_back(columns);
  std::atomic<bool> stop{false};
  std::vector<std::jthread> threads;
  threads.reserve(count - 1);
  try {
    for (std::size_t k = 1; k < count; ++k) {
      threads.emplace_back(read_part, std::cref(job), k, Poll{stop_asked, &stop}, std::ref(reads[k]));
    }
  } catch (const std::system_error&) {
    // No thread to be had: the parts started stop, and one thread reads.
    stop = true;
    job.counts.abandon();
    threads.clear();
    return {};
  }
  read_part(job, 0, job.options.poll, reads[0]);
  if (reads[0].failure) {
    stop = true;
    job.counts.abandon();
  }
  threads.clear();  // joined
  return reads;
}

// Step three, the assembly: the parts' rows as one Plot, the values where
// they were read when every part stayed in the arena, else copied
// together.  `reads` are sound (parts_sound).
Plot assemble_parts(Layout& layout, std::uint32_t width, const std::vector<PartRead>& reads, ColumnArena arena) {
  const std::size_t selected_columns = layout.columns();
  Plot plot;
  plot.width = width;
  plot.names = std::move(layout.names);
  plot.selected = std::move(layout.selected);
  std::vector<std::size_t> part_rows;
  std::vector<const Columns*> results;
  std::size_t total = 0;
  for (const PartRead& read : reads) {
    if (!read.start) break;
    plot.lead_lines.append(read.leads);
    part_rows.push_back(read.blocks.rows);
    results.push_back(&read.result);
    total += read.blocks.rows;
    plot.complete = read.blocks.complete;
  }
  if (selected_columns == 0) {
    plot.values = ColumnMatrix::empty(total, 0);
  } else if (parts_in_place(reads, arena)) {
    plot.values = ColumnMatrix::of_arena(std::move(arena), selected_columns, total);
  } else {
    plot.values = ColumnMatrix::joined(results, part_rows);
  }
  return plot;
}

}  // namespace

Plot read_plot_in_parts(PlotFile& file, Layout& layout, std::uint32_t width, const PlotOptions& options) {
  const std::optional<PartPlan> plan = plan_parts(file, layout, options.threads);
  if (!plan) return read_rest(file.stream(), layout, width, options);
  ColumnArena arena;
  if (!arena.map(std::max<std::size_t>(layout.columns(), 1), plan->rows, true, plan->large_pages)) {
    return read_rest(file.stream(), layout, width, options);
  }
  FeedCounts counts(plan->parts - 1);
  const Job job{file, layout, width, options, *plan, counts, arena};
  std::vector<PartRead> reads = run_parts(job);
  if (!reads.empty() && reads[0].cancelled) std::rethrow_exception(reads[0].failure);
  if (reads.empty() || !parts_sound(reads)) {
    // No thread, a misplaced cut, or a failure: one read of the whole file
    // gives the result or the failure it must be.  The parts' memory goes
    // first.
    reads.clear();
    arena = ColumnArena();
    return read_rest(file.stream(), layout, width, options);
  }
  return assemble_parts(layout, width, reads, std::move(arena));
}

}  // namespace tavrel::lib
