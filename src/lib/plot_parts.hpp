// One plot file read on several threads at once.
//
// The blocks after the header are cut into parts of about equal size, each
// a run of whole blocks, and each part is read on a thread of its own
// straight into its rows of one shared arena, so the values need no join.
//
// Where the cuts go: most files are written by one format statement per
// block, so every block is as long as the first.  A cut is first placed on
// that assumption and checked where it falls (a line feed just before it,
// a block's worth of lines ending exactly one first-block length later).
// Where that check fails, each part's thread counts the line feeds of the
// share before its own (all shares at once), adds the counts of the shares
// before that, and starts at the first block start past its share's
// start; each part stops at the first block start past its share's end.
// A placed cut is proven only by the part before it: that part must end
// exactly there after exactly the blocks the cut assumed.  A part that
// does not, or any part that fails, has the file read again on one thread,
// so that the result and every failure are exactly those of read_plot.
//
// Every part reads the one opening of the file (positional reads of its
// descriptor): the parts cannot fail to open, and they read one file
// whatever happens to its path while they do.
#pragma once

#include <cstddef>
#include <string_view>

#include "lib/plot.hpp"

namespace tavrel::lib {

// The blocks of a seekable `file`, whose `layout` is read and whose stream
// is left at the first block, read at `width` on up to `options.threads`
// threads: the result and the failures of read_rest on the stream.
// `options.poll` is asked on the calling thread only; when it cancels, the
// other threads stop too.
Plot read_plot_in_parts(PlotFile& file, Layout& layout, std::uint32_t width, const PlotOptions& options);

}  // namespace tavrel::lib
