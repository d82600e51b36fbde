// One plot file read on several threads at once; see plot_parts.hpp.
#include "lib/plot_parts.hpp"

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

// Where the shares of the file end: part k (k > 0) starts at the first
// block start at or after ends[k - 1], and part k - 1 stops there.  The
// first share is one and a half times the others: every other part first
// counts the line feeds of the share before its own.  On this project's
// 2-core machine, with that split both parts of a 400 MB file ended within
// a few milliseconds of each other where the machine was quiet; with twice
// the others, the first part ended last, by tens of milliseconds.
std::vector<std::uint64_t> share_ends(const Layout& layout, std::size_t parts) {
  const std::uint64_t half_share = (layout.size - layout.header) / (2 * parts + 1);
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

// The line feeds in bytes [from, to), or nothing on an I/O error.
std::optional<std::uint64_t> feeds_between(std::string_view path, std::uint64_t from, std::uint64_t to) noexcept {
  auto opened = text::LineSource::open(path, std::size_t{256} << 10);
  if (!opened || !opened->restrict_to(from, to - from)) return std::nullopt;
  const auto feeds = opened->count_line_feeds();
  return feeds ? std::optional<std::uint64_t>(*feeds) : std::nullopt;
}

// The first block start at or after byte `at` (past the header), given the
// line feeds from the header to it; nothing past the end of the file.
std::optional<Cut> block_start_from(std::string_view path, const Layout& layout, std::uint64_t at,
                                    std::uint64_t feeds) {
  text::LineSource lines = open_plot_file(path);
  if (!lines.restrict_to(at - 1, UINT64_MAX)) return std::nullopt;
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
  explicit PartRead(std::size_t columns)
      : result{ColumnArena(), Column(), ColumnTable(static_cast<std::uint32_t>(columns - 1))} {}
  ReadResult result;
  std::optional<Cut> start;  // nothing: the part lies past the file's last block start
  std::uint64_t end = 0;     // the byte after the part's last block
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
  // Placed cuts: every part's start and, but for the last, its exact end.
  // Else: where each share ends, the parts finding their starts by counts.
  const std::vector<Cut>& placed;
  const std::vector<std::uint64_t>& ends;
  FeedCounts& counts;
  std::uint64_t rows;  // the arena's room per column
  ColumnArena& arena;
};

// Where part k starts: placed, or found from the line feeds before its share.
std::optional<Cut> start_of(const Job& job, std::size_t k) {
  if (!job.placed.empty()) return job.placed[k];
  if (k == 0) return Cut{job.layout.header, 0};
  const std::uint64_t from = k == 1 ? job.layout.header : job.ends[k - 2];
  job.counts.put(k - 1, feeds_between(job.path, from, job.ends[k - 1]));
  const std::optional<std::uint64_t> feeds = job.counts.through(k - 1);
  if (!feeds) return std::nullopt;
  return block_start_from(job.path, job.layout, job.ends[k - 1], *feeds);
}

// Reads part k into its rows of the arena, from its start's block on, up
// to the block start at or after its share's end.
void read_part(const Job& job, std::size_t k, Poll poll, PartRead& out) noexcept {
  try {
    out.start = start_of(job, k);
    if (!out.start) return;
    const Cut cut = *out.start;
    const std::size_t parts = job.placed.empty() ? job.ends.size() + 1 : job.placed.size();
    const bool last = k + 1 == parts;
    text::LineSource lines = open_plot_file(job.path);
    if (auto moved = lines.restrict_to(cut.offset, UINT64_MAX); !moved) {
      fail_io(ReadError::Stage::LeadLine, 0, moved.error(), std::source_location::current());
    }
    // Placed cuts give each part exactly its room, so that one misplaced
    // writes its own memory; counted ones give the rest of the arena, which
    // a part of exact cuts fills only up to the next part's first row.
    const std::uint64_t limit = !last && !job.placed.empty() ? job.placed[k + 1].block : job.rows;
    if (cut.block < limit) {
      const std::uint64_t room = limit - cut.block;
      out.result.first.adopt(job.arena.column(0) + cut.block, room);
      for (std::size_t i = 0; i < out.result.others.size(); ++i) {
        out.result.others[i].adopt(job.arena.column(i + 1) + cut.block, room);
      }
    }
    const std::uint64_t stop = last ? UINT64_MAX
                               : !job.placed.empty() ? job.placed[k + 1].offset
                                                     : job.ends[k];
    // Every part reads as the one read would, blank tails and partial
    // files included: those only ever apply at the end of the file.
    const BlockOptions options{.selected = job.options.selected,
                               .partial = job.options.partial,
                               .blank_tail = true,
                               .lead_lines = &out.leads,
                               .first_block = cut.block,
                               .in_place = true,
                               .stop_before = stop == UINT64_MAX ? UINT64_MAX : stop > cut.offset ? stop - cut.offset : 0,
                               .poll = poll};
    out.blocks = read_blocks(lines, job.layout.n, job.options.width, out.result, options);
    out.end = cut.offset + lines.bytes_taken();
  } catch (const ReadError& error) {
    out.cancelled = error.kind == ReadError::Kind::Cancelled;
    out.failure = std::current_exception();
  } catch (...) {
    out.failure = std::current_exception();
  }
}

bool stop_asked(void* flag) noexcept { return static_cast<const std::atomic<bool>*>(flag)->load(std::memory_order_relaxed); }

// Every part read whole, and each ended exactly where the next starts,
// after exactly the blocks between their first rows: then every start is a
// block start, by induction from the first, which follows the header.  A
// part without a start is past the end, and so is every later one.
bool parts_sound(const std::vector<PartRead>& reads) noexcept {
  for (std::size_t k = 0; k < reads.size(); ++k) {
    const PartRead& read = reads[k];
    if (read.failure) return false;
    if (!read.start) {
      if (k == 0) return false;
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
    if (read.result.first.data() != arena.column(0) + block) return false;
    for (std::size_t i = 0; i < read.result.others.size(); ++i) {
      if (read.result.others[i].data() != arena.column(i + 1) + block) return false;
    }
  }
  return true;
}

void append_leads(LeadLines& all, const LeadLines& part) { all.append(part); }

struct Plan {
  Layout layout;
  std::vector<Cut> placed;  // empty: the parts find their starts by counts
  bool in_parts = false;    // false: the file is read on one thread
};

// `lines`: the file opened, nothing read yet.
Plan plan_parts(std::string_view path, text::LineSource& lines, const PlotOptions& options, std::size_t parts) {
  Plan plan{read_layout(lines), {}, false};
  const Layout& layout = plan.layout;
  check_selection(options, layout.n);
  // Under a block per part, parts are not worth their threads.
  if (layout.n == 0 || layout.first_bytes == 0 || layout.size - layout.header < parts * layout.first_bytes) {
    return plan;
  }
  plan.placed = placed_cuts(path, layout, parts);
  if (plan.placed.size() == 1) return plan;
  plan.in_parts = true;
  return plan;
}

}  // namespace

Plot read_plot_in_parts(std::string_view path, const PlotOptions& options, std::size_t parts) {
  if (parts <= 1) return read_plot(path, options);
  Plan plan;
  {
    text::LineSource lines = open_plot_file(path);
    // Only a regular file can be read again from the start, and in parts:
    // anything else (a pipe) is read once, from this opening, on this thread.
    if (lines.size_hint() == 0) return read_plot(lines, options);
    plan = plan_parts(path, lines, options, parts);
  }
  if (!plan.in_parts) return read_plot(path, options);
  Layout& layout = plan.layout;
  const std::vector<std::uint64_t> ends = plan.placed.empty() ? share_ends(layout, parts) : std::vector<std::uint64_t>{};
  const std::size_t count = plan.placed.empty() ? parts : plan.placed.size();

  // Room for every row the file's length foretells, from the first block
  // (placed cuts: from the blocks before the last cut), with a little to
  // spare; never more than the file could fill (each value takes a byte).
  const std::size_t columns = options.selected.empty() ? layout.n : options.selected.size();
  const Cut last = plan.placed.empty() ? Cut{layout.header, 0} : plan.placed.back();
  const std::uint64_t average = last.block == 0 ? layout.first_bytes : (last.offset - layout.header) / last.block;
  const std::uint64_t expected = (layout.size - last.offset) / (average == 0 ? 1 : average);
  const std::uint64_t rows = std::min<std::uint64_t>(last.block + expected + expected / 64 + 4 + count,
                                                     last.block + layout.size / columns + 4);
  ColumnArena arena;
  if (!arena.map(columns, rows, true)) return read_plot(path, options);

  std::vector<PartRead> reads;
  reads.reserve(count);
  for (std::size_t k = 0; k < count; ++k) reads.emplace_back(columns);
  FeedCounts counts(count - 1);
  const Job job{path, layout, options, plan.placed, ends, counts, rows, arena};
  std::atomic<bool> stop{false};
  {
    std::vector<std::jthread> threads;
    threads.reserve(count - 1);
    try {
      for (std::size_t k = 1; k < count; ++k) {
        threads.emplace_back(read_part, std::cref(job), k, Poll{stop_asked, &stop}, std::ref(reads[k]));
      }
    } catch (const std::system_error&) {
      // No thread to be had: the parts started stop, and one thread reads.
      stop = true;
      counts.abandon();
      threads.clear();
      reads.clear();
      return read_plot(path, options);
    }
    read_part(job, 0, options.poll, reads[0]);
    if (reads[0].failure) {
      stop = true;
      counts.abandon();
    }
  }  // the threads are joined here

  if (reads[0].cancelled) std::rethrow_exception(reads[0].failure);
  if (!parts_sound(reads)) {
    // A misplaced cut, or a failure: one read of the whole file gives the
    // result or the failure it must be.  The parts' memory goes first.
    reads.clear();
    arena = ColumnArena();
    return read_plot(path, options);
  }

  Plot plot;
  plot.parameters = layout.n;
  plot.names = std::move(layout.names);
  std::vector<std::size_t> part_rows;
  std::vector<const ReadResult*> results;
  std::size_t total = 0;
  for (const PartRead& read : reads) {
    if (!read.start) break;
    append_leads(plot.lead_lines, read.leads);
    part_rows.push_back(read.blocks.rows);
    results.push_back(&read.result);
    total += read.blocks.rows;
    plot.complete = read.blocks.complete;
  }
  if (parts_in_place(reads, arena)) {
    plot.values = ColumnMatrix::of_arena(std::move(arena), columns, total);
  } else {
    plot.values = ColumnMatrix::joined(results, part_rows);
  }
  return plot;
}

}  // namespace tavrel::lib
