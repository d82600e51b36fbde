"""korvant.read_chain: the files of a restarted run as one Plot."""

from __future__ import annotations

import os

import numpy as np

from korvant._options import ReadOptions, positive_int
from korvant._paths import Paths, expand
from korvant._plot import Plot, Source
from korvant._read import Params
from korvant._study import each, read_columns, study_choices, survey, with_errors

__all__ = ["read_chain"]


def read_chain(
    paths: Paths,
    *,
    width: int | None = None,
    params: Params = None,
    partial: bool = False,
    errors: str = "raise",
    align: str = "fill",
    threads: int | None = None,
) -> Plot:
    """Read the files of a restart chain (a run stopped and restarted, each
    restart writing a new file) as one Plot whose time increases strictly.

    The files are the segments of the chain in the order given (a folder or
    a pattern expands sorted, as in read_many).  Within each file the time
    must increase strictly.  The rule where files overlap: a file's
    timesteps are kept up to, and not including, the first time of any
    later file, so that where a later file's times overlap an earlier
    one's, the later file wins from its first time on.  The values are
    copied from the segments bit for bit.

    The parameters are those of every file (the first file's, then those
    later files add), or those `params` selects among them, found by name
    in each file; a segment that lacks one has NaN there (`align` "fill"),
    or fails ("require"; "strict": the files must all have the first file's
    names).  `width` and `partial` are those of korvant.read, for every
    file; `threads` files are read at once (default: one per processor).
    `errors` is read_many's: "skip" leaves a file that cannot be read out
    of the chain, "partial" also takes the complete timesteps of a cut-off
    file; a file without a time on every lead line, or whose time does not
    increase, is such a file.  When no file can be read, the first failure
    is raised.

    The result's ``source`` gives the files (``paths``), each timestep's
    index among them (``segment``, int64) and the files left out
    (``failed``); ``path`` is the first file read, ``complete`` the last
    one's, ``parameters`` each column's index among the chain's names.
    """
    options = ReadOptions.of(width=width, params=params, partial=partial)
    errors, align = study_choices(errors, align)
    count = positive_int("threads", threads) if threads is not None else os.cpu_count() or 1
    files, _ = expand(paths)
    if not files:
        raise ValueError("no plot files given")
    options = with_errors(options, errors)
    columns, slots = survey(files, options, align, errors, count)
    todo = [k for k, slot in enumerate(slots) if slot is None]
    if columns is not None:
        done = each([files[k] for k in todo], lambda path: timed(read_columns(path, columns, options)), count)
        for k, result in zip(todo, done):
            slots[k] = result
    failed = [(files[k], slot) for k, slot in enumerate(slots) if isinstance(slot, BaseException)]
    if failed and (errors == "raise" or len(failed) == len(files)):
        raise failed[0][1]
    segments = [(k, slot) for k, slot in enumerate(slots) if isinstance(slot, Plot)]
    plot = joined(segments, kept_rows([p.time for _, p in segments]))
    plot.source = Source(list(files), plot.source.segment, failed)  # type: ignore[union-attr]
    plot.n_parameters, plot.parameters = len(columns.reference), list(columns.indices)  # type: ignore[union-attr]
    return plot


def timed(plot: Plot) -> Plot:
    """`plot`, checked to be a segment of a chain: a time on every lead
    line, strictly increasing.  A ValueError names the file otherwise."""
    time = plot.time
    if time is None:
        raise ValueError(f"{plot.path}: a lead line has no time, which a restart chain needs")
    falls = np.flatnonzero(np.diff(time) <= 0)
    if len(falls):
        step = int(falls[0]) + 1
        raise ValueError(f"{plot.path}: the time does not increase at timestep {step} "
                         f"({time[step - 1]:g}, then {time[step]:g})")
    return plot


def kept_rows(times: list[np.ndarray]) -> list[int]:
    """How many of its first timesteps each segment keeps: those before the
    first time of every later segment."""
    limit = np.inf
    stops = []
    for time in reversed(times):
        stops.append(int(np.searchsorted(time, limit, side="left")))
        if len(time):
            limit = min(limit, time[0])
    return stops[::-1]


def joined(segments: list[tuple[int, Plot]], stops: list[int]) -> Plot:
    """One Plot of the first `stops` timesteps of each segment, in order;
    its source's `segment` gives each timestep's file index."""
    first = segments[0][1]
    rows = sum(stops)
    values = np.empty((rows, len(first.names)), dtype=np.float32, order="F")
    start = 0
    for (_, plot), stop in zip(segments, stops):
        values[start:start + stop] = plot.values[:stop]
        start += stop
    lead_names = list(dict.fromkeys(name for _, plot in segments for name in plot.lead))
    lead = {name: np.concatenate([plot.lead.get(name, np.full(len(plot), np.nan))[:stop]
                                  for (_, plot), stop in zip(segments, stops)]) for name in lead_names}
    widths = {plot.width for _, plot in segments if plot.width is not None}
    plot = Plot(
        path=first.path,
        names=list(first.names),
        parameters=list(first.parameters),
        values=values,
        time=np.concatenate([plot.time[:stop] for (_, plot), stop in zip(segments, stops)]),
        lead_lines=[line for (_, plot), stop in zip(segments, stops) for line in plot.lead_lines[:stop]],
        width=widths.pop() if len(widths) == 1 else None,
        complete=segments[-1][1].complete,
        n_parameters=first.n_parameters,
        source=Source([], np.repeat(np.array([k for k, _ in segments], dtype=np.int64), stops), []),
    )
    plot._lead = lead  # the lead-line numbers, joined as the values are
    return plot
