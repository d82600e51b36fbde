"""The exceptions of korvant, and how a failed native read becomes one."""

from __future__ import annotations

import errno as errno_codes
import os
from typing import Any

__all__ = ["FileMismatchError", "PlotFileError"]

#: How much of the file a message quotes at most.
QUOTE_LIMIT = 80

#: The data fields on a full data line; a timestep's last line holds the rest.
FIELDS_PER_LINE = 10


class PlotFileError(ValueError):
    """A plot file whose content cannot be read.

    Attributes:
        path: the file, as given.
        line: the 1-based number of the offending line, or None.
        parameter: ``(index, name)`` of the offending parameter, or None.
        timestep: the 0-based timestep (block) of the offending line, or None.
        text: the offending field as it stands in the file, or None.
    """

    def __init__(
        self,
        message: str,
        *,
        path: str,
        line: int | None = None,
        parameter: tuple[int, str] | None = None,
        timestep: int | None = None,
        text: str | None = None,
    ) -> None:
        super().__init__(message)
        self.path = path
        self.line = line
        self.parameter = parameter
        self.timestep = timestep
        self.text = text

    def __reduce__(self) -> tuple[Any, ...]:
        # Pickled whole, so that the error crosses to another process (a
        # process pool, a Dask worker) with its attributes.
        attributes = {key: getattr(self, key) for key in ("path", "line", "parameter", "timestep", "text")}
        return _rebuild, (str(self), attributes)


def _rebuild(message: str, attributes: dict[str, Any]) -> PlotFileError:
    return PlotFileError(message, **attributes)


class FileMismatchError(PlotFileError):
    """A file of a study differs from the first file, whose parameter names
    (and, for korvant.dask.read_array, whose shape) the others must have
    under ``align="strict"``.

    `path` is the differing file, `first` the first file; `line` is the
    1-based header line where the names start to differ, when they do."""

    def __init__(self, message: str, path: str, first: str, line: int | None = None) -> None:
        # ValueError's own initialiser and pickling: this error does not
        # depend on how PlotFileError builds, and pickles, the errors of a
        # read.  It crosses from a worker to the client as its arguments.
        ValueError.__init__(self, message, path, first, line)
        self.path = path
        self.first = first
        self.line = line
        self.parameter = None
        self.timestep = None
        self.text = None

    def __reduce__(self) -> tuple[Any, ...]:
        return type(self), self.args

    def __str__(self) -> str:
        return self.args[0]


def names_mismatch(path: str, names: list[str], first: str, reference: list[str]) -> FileMismatchError:
    """The error of the file at `path` whose header `names` are not the
    `reference` names of the file `first` (or of the collection built from
    its header, when `path` is that file)."""
    other = f"{first} has" if path != first else "the collection, built from its header, has"
    differ = next((i for i, (a, b) in enumerate(zip(names, reference)) if a != b), None)
    if differ is None:
        return FileMismatchError(f"{path} has {len(names)} parameters where {other} {len(reference)}",
                                 path, first, 1)
    return FileMismatchError(f"{path}:{differ + 2}: parameter {differ + 1} is {names[differ]!r}, "
                             f"where {other} {reference[differ]!r}", path, first, differ + 2)


def quote(text: str, limit: int = QUOTE_LIMIT) -> str:
    """`text` in quotes, cut to `limit` characters with an ellipsis."""
    if len(text) > limit:
        text = text[: limit - 3] + "..."
    return repr(text)


def translate(info: dict[str, Any], path: str) -> Exception:
    """The exception that the native failure `info` becomes for `path`."""
    kind = info["kind"]
    line = info["line"] or None
    where = f"{path}:{line}" if line else path
    if info["hint_count"]:
        return count_error(info, path)
    if kind == "utf8":
        return PlotFileError(f"{where}: line is not valid UTF-8", path=path, line=line)
    if kind == "compressed":
        # The decompressor's reason, at the line the text had reached.
        return PlotFileError(f"{where}: {info['message']}", path=path, line=line)
    if kind == "io":
        code = info["errno"]
        if code:
            return OSError(code, os.strerror(code), path)
        return OSError(errno_codes.EINVAL, info["message"], path)
    if kind == "count":
        return PlotFileError(
            f"{where}: the first line must end with the parameter count, not {quote(info['word'])}",
            path=path, line=1, text=info["text"][:QUOTE_LIMIT],
        )
    if kind == "capacity":
        return PlotFileError(f"{path}:1: the first line gives no parameters", path=path, line=1)
    if kind == "missing_line":
        stage = info["stage"]
        if stage == "first_line":
            return PlotFileError(f"{path}: the file is empty", path=path)
        if stage == "name_line":
            return PlotFileError(f"{where}: the file ends inside the parameter names", path=path, line=line)
        timestep = info["block"]
        return PlotFileError(
            f"{where}: the file ends inside timestep {timestep} (partial=True reads the complete ones)",
            path=path, line=line, timestep=timestep,
        )
    if kind == "width":
        if info["line"]:
            why = f"data line {info['line']} is {info['line_bytes']} bytes for {info['fields']} fields"
        else:
            why = "no width makes every field of the first timestep a number"
        return PlotFileError(f"{path}: cannot detect the field width ({why}); pass width=", path=path, line=line)
    if kind in ("parse", "slice"):
        return field_error(info, path)
    if kind == "selection":
        return IndexError(f"parameter index {info['parameter']} is out of range for {path}")
    return PlotFileError(f"{where}: {info['message']}", path=path, line=line)


def count_error(info: dict[str, Any], path: str) -> PlotFileError:
    """The first timestep fits another parameter count than the first
    line's: most likely the count is wrong, whatever failed after it."""
    n, other = info["parameters"], info["hint_count"]
    return PlotFileError(
        f"{path}:1: the first line gives {n} parameters, but the first timestep fits {other} "
        f"(is the count {other}?)", path=path, line=1,
    )


def field_error(info: dict[str, Any], path: str) -> PlotFileError:
    """A data field that is not a number, or not within its line."""
    line, timestep, index = info["line"], info["block"], info["parameter"]
    width = (info["field_end"] - info["field_start"]) % 2**32
    name = info["parameter_name"]
    parameter = (index, name)
    who = f"parameter {index} {quote(name)} at timestep {timestep}"
    text = info["text"]
    size = info["line_bytes"]
    fields = min(FIELDS_PER_LINE, info["parameters"] - index // FIELDS_PER_LINE * FIELDS_PER_LINE)
    guess = info["hint_width"]
    hint = f" (is the width {guess}?)" if guess else ""
    if size < fields * width:
        # Too short a line for its fields: most often the wrong width, and
        # whichever field failed first says less than the line's length.
        message = f"{path}:{line}: data line is {size} bytes; {fields} fields of width {width} need {fields * width}"
    elif info["kind"] == "parse":
        field = text.strip()
        what = "is blank" if not field else f"{quote(field)} is not a number"
        message = f"{path}:{line}: {who}: {what}"
    else:
        message = f"{path}:{line}: {who}: the field cuts a character ({info['message']})"
    return PlotFileError(message + hint, path=path, line=line, parameter=parameter, timestep=timestep,
                         text=text or None)
