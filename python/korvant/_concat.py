"""Joining Plots of consecutive timesteps of one file into one Plot.

A follower reads a growing file in pieces, each piece a Plot of the
timesteps that came since the last; `concatenate` joins such pieces into the
Plot that a read of the whole span would give: the same values, time, lead
lines and lead-line numbers, with the lead names in the order in which they
first appear across the pieces.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np

from korvant._plot import Plot

__all__ = ["concatenate"]


def concatenate(plots: Sequence[Plot], *, complete: bool | None = None) -> Plot:
    """One Plot of the rows of `plots` (at least one), in order; the pieces
    must share names and columns.  The result owns fresh arrays, whatever
    the pieces are.  `complete` defaults to the last piece's."""
    first, last = plots[0], plots[-1]
    rows = sum(len(plot) for plot in plots)
    values = np.empty((rows, len(first.names)), dtype=np.float32, order="F")
    np.concatenate([plot.values for plot in plots], axis=0, out=values)
    lead_lines: list[str] = []
    for plot in plots:
        lead_lines += plot.lead_lines
    return Plot(
        path=first.path,
        names=list(first.names),
        parameters=list(first.parameters),
        values=values,
        time=_time(plots),
        lead_lines=lead_lines,
        width=next((plot.width for plot in reversed(plots) if plot.width is not None), None),
        complete=last.complete if complete is None else complete,
        n_parameters=first.n_parameters,
        lead_numbers=_lead_numbers(plots),
    )


def _time(plots: Sequence[Plot]) -> np.ndarray | None:
    """The joined time, None when a piece with timesteps has none (some
    lead line of it had no number of its own), as a read of the span."""
    with_rows = [plot for plot in plots if len(plot)]
    if not with_rows:
        return np.empty(0, dtype=np.float64)
    if any(plot.time is None for plot in with_rows):
        return None
    return np.concatenate([plot.time for plot in with_rows]).astype(np.float64, copy=False)


def _lead_numbers(plots: Sequence[Plot]) -> tuple[list[str], bytes, bytes, bytes]:
    """The lead-line numbers of the pieces, packed as the reader packs them:
    the names, then per line the end of its numbers (counted over all the
    lines), per number its name's index and its value.  Each piece's name
    indices are mapped onto the joined names."""
    index: dict[str, int] = {}
    ends, indices, values = [], [], []
    total = 0
    for plot in plots:
        names, piece_ends, piece_indices, piece_values = plot._lead_numbers
        mapping = np.array([index.setdefault(name, len(index)) for name in names], dtype=np.uint32)
        line_ends = np.frombuffer(piece_ends, dtype=np.uint64)
        ends.append(line_ends + np.uint64(total))
        indices.append(mapping[np.frombuffer(piece_indices, dtype=np.uint32)])
        values.append(piece_values)
        if len(line_ends):
            total += int(line_ends[-1])
    return (list(index), np.concatenate(ends).astype(np.uint64).tobytes(),
            np.concatenate(indices).astype(np.uint32).tobytes(), b"".join(values))
