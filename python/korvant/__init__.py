"""Read KORVANT plot files into numpy arrays.

A plot file holds the values of a simulation's named parameters once per
timestep.  ``korvant.read`` reads one into a :class:`Plot` with the values as
a float32 array, the parameter names and the time of each timestep::

    import korvant
    plot = korvant.read("run42.plt")
    plot.names, plot.time, plot["PRES-0001"]
    plot.to_pandas()
    plot.to_parquet("run42.parquet")      # or to_csv, to_hdf5, to_npz

A damaged file raises :class:`PlotFileError` (a ValueError) naming the file,
the line and the field; a missing or unreadable one the matching OSError.
Nothing is ever printed.  Files are read with the interpreter lock released,
so threads read several at once (:func:`read_many`).  ``korvant.export``
writes a Plot to CSV, Parquet, HDF5 or .npz; ``korvant.dask`` reads many
files as Dask collections; ``korvant.follow`` reads a file that a simulation
is still writing, as its timesteps arrive; ``python -m korvant`` is the
command line.

Every reader takes the same keyword-only options: ``width``, ``params`` and
``partial``, with the same meaning everywhere.  A parameter study's files
are read by :func:`read_many` (a :class:`Batch`, with the files that failed),
:func:`read_chain` (a restarted run as one Plot) and :func:`open_study` (an
xarray DataArray of run, time and parameter), each with ``errors`` and
``align``: what a damaged file does, and how names are matched across files.
"""

from korvant import export
from korvant._chain import read_chain
from korvant._errors import FileMismatchError, PlotFileError
from korvant._plot import Plot
from korvant._read import read, read_header, read_many
from korvant._runs import open_study
from korvant._study import Batch
from korvant.follow import FileReplacedError, FileTruncatedError, Follower, FollowError, follow

__all__ = ["Batch", "FileMismatchError", "FileReplacedError", "FileTruncatedError", "FollowError", "Follower", "Plot",
           "PlotFileError", "export", "follow", "open_study", "read", "read_chain", "read_header", "read_many"]

#: The version of this package; the installed distribution's own metadata
#: gives the same.
__version__ = "0.1.0"
