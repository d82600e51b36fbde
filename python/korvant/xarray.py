"""Plot files as xarray objects: a whole study as one DataArray, and a
backend for xarray's own openers.

    import korvant.xarray
    study = korvant.xarray.open_study("study/*.plt", params="TEMP-*", errors="skip")
    study.max("time").compute()              # (run, parameter)

    import xarray as xr
    ds = xr.open_dataset("run42.plt", engine="korvant")
    ds = xr.open_mfdataset("study/*.plt", engine="korvant", combine="nested", concat_dim="run")

The backend (`KorvantBackendEntrypoint`) is registered under the
``xarray.backends`` entry point as "korvant"; where the package is not
installed, pass the class itself as `engine`.  It opens one file as a
Dataset with one variable, `values` (run, time, parameter), read when it is
used, and only the parameters it is indexed by; its layout is that of
open_study, for a study of one run.  This module needs xarray
(`pip install tavrel[xarray]`); open_study reads lazily through Dask when
Dask is installed.
"""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Iterable
from typing import Any

import numpy as np

from korvant._extras import need
from korvant._options import ReadOptions
from korvant._read import Params, read_with
from korvant._select import resolve
from korvant._study import read_outline, run_names

xr = need("xarray", "korvant.xarray", "xarray")
from xarray.backends import BackendArray, BackendEntrypoint  # noqa: E402
from xarray.core import indexing  # noqa: E402

from korvant._runs import open_runs  # noqa: E402

__all__ = ["KorvantBackendEntrypoint", "open_study"]

#: The suffixes of the files the backend offers to open when no engine is named.
SUFFIXES = (".plt", ".plt.gz", ".plt.zst", ".plt.xz", ".plt.bz2")


def open_study(paths: Any, *, params: Params = None, errors: str = "raise", align: str = "fill",
               width: int | None = None, partial: bool = False, threads: int | None = None,
               lazy: bool | None = None, compression: str | None = "infer",
               storage_options: dict[str, Any] | None = None) -> xr.DataArray:
    """The runs of a study as one float32 DataArray, dims (run, time,
    parameter).

    `paths` is one path or several, each a file, a folder or a glob
    pattern, expanded as read_many expands them (URLs and their globs too).
    `params`, `width`, `partial`, `compression` and `storage_options` are
    those of korvant.read; `errors` and `align` those of
    read_many: the parameters are the union of the runs' names (or those
    `params` selects among them), found by name in each run, NaN in a run
    that lacks one (align "fill").

    Opening reads each file's names and timesteps without their values
    (`threads` files at a time); the values are read when used, a Dask task
    per run, when Dask is installed (`lazy` None or True), else at once
    (`lazy` False, or no Dask).  Coordinates: `run` (each file's name
    without suffixes, or its relative path where names repeat),
    `parameter`, `time` (every run's times, sorted, when each run has
    strictly increasing times; a run is NaN at the times it lacks, so runs
    of different lengths are padded with NaN; otherwise the time dimension
    counts timesteps and has no coordinate), and per run `path`,
    `timesteps` and `complete`.

    Under errors "skip" or "partial" a file that fails while opening is left
    out and named in ``attrs["failed"]`` ("path: why"); one whose values
    fail when read (a field that is not a number, found only then) is NaN,
    and the `error` coordinate gives why ("" for a good run): computing the
    result computes it along.
    """
    study = open_runs(paths, params=params, errors=errors, align=align, width=width, partial=partial,
                      threads=threads, lazy=lazy, compression=compression, storage_options=storage_options)
    coords: dict[str, Any] = {
        "run": run_names(study.paths), "parameter": study.columns.names,
        "path": ("run", study.paths), "timesteps": ("run", study.counts),
        "complete": ("run", study.complete),
    }
    if study.time is not None:
        coords["time"] = study.time
    if study.errors is not None:
        coords["error"] = ("run", study.errors)
    attrs = {"failed": study.failed} if errors != "raise" else {}
    return xr.DataArray(study.values, dims=("run", "time", "parameter"), coords=coords, name="values",
                        attrs=attrs)


class _LazyValues(BackendArray):
    """The values of one file, shape (1, timesteps, columns), read when
    indexed: the columns indexed alone."""

    def __init__(self, path: str, options: ReadOptions, indices: list[int], steps: int) -> None:
        self.path, self.options, self.indices = path, options, indices
        self.shape = (1, steps, len(indices))
        self.dtype = np.dtype(np.float32)

    def __getitem__(self, key: indexing.ExplicitIndexer) -> np.ndarray:
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.OUTER, self._read)

    def _read(self, key: tuple[Any, Any, Any]) -> np.ndarray:
        """The values at an outer index: per axis an int, a slice or an
        array of ints."""
        run, rows, columns = key
        chosen = np.atleast_1d(np.arange(len(self.indices))[columns])
        plot = read_with(self.path, dataclasses.replace(self.options, params=tuple(self.indices[c] for c in chosen)))
        steps = self.shape[1]
        if len(plot) < steps:
            raise ValueError(f"{self.path} has {len(plot)} timesteps, {steps} when it was opened")
        block = plot.values[np.newaxis, :steps]
        if isinstance(run, slice) and isinstance(rows, slice):
            block = block[run, rows]  # a view of the read's values
        else:
            block = block[np.ix_(*(np.atleast_1d(np.arange(n)[k]) for n, k in zip(block.shape[:2], (run, rows))),
                                 np.arange(len(chosen)))]
        drop = tuple(axis for axis, k in enumerate(key) if isinstance(k, (int, np.integer)))
        return block.squeeze(axis=drop) if drop else block


class KorvantBackendEntrypoint(BackendEntrypoint):
    """Opens a KORVANT plot file as a Dataset laid out as open_study's
    DataArray, a study of one run: `values` (run, time, parameter), float32,
    read when used; coordinates `run` (the file's name without suffixes),
    `path` (run), `time` (when every lead line has one) and `parameter` (the
    names); attributes n_parameters, complete (1 or 0) and width.  So
    open_mfdataset joins files along `run`, with their names.  Takes
    korvant.read's `params`, `width` and `partial`."""

    description = "KORVANT plot files, read by korvant"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "params", "width", "partial")

    def open_dataset(self, filename_or_obj: Any, *, drop_variables: str | Iterable[str] | None = None,
                     params: Params = None, width: int | None = None, partial: bool = False) -> xr.Dataset:
        options = ReadOptions.of(width=width, params=params, partial=partial)
        path = os.fsdecode(os.fspath(filename_or_obj))
        names, plot = read_outline(path, options)
        indices = resolve(options.params, names, path)
        data = indexing.LazilyIndexedArray(_LazyValues(path, options, indices, len(plot)))
        coords: dict[str, Any] = {"run": run_names([path]), "path": ("run", [path]),
                                  "parameter": [names[i] for i in indices]}
        if plot.time is not None:
            coords["time"] = plot.time
        attrs: dict[str, Any] = {"n_parameters": len(names), "complete": int(plot.complete)}
        if plot.width is not None:
            attrs["width"] = plot.width
        dataset = xr.Dataset({"values": (("run", "time", "parameter"), data)}, coords=coords, attrs=attrs)
        if drop_variables is not None:
            dataset = dataset.drop_vars(drop_variables, errors="ignore")
        return dataset

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        try:
            name = os.fsdecode(os.fspath(filename_or_obj))
        except TypeError:
            return False
        return name.lower().endswith(SUFFIXES)
