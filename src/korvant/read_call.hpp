// The functions of korvant._native, called by the korvant package.
//
//   read(source, width, select, partial, threads, decompress, size_hint)
//          source: a path (str, bytes, os.PathLike) or a file object (with
//          readinto or read), which is read once, with the lock taken only
//          around its own calls; its exception, if one fails, is raised
//          decompress: a gzip, zstd, xz or bzip2 stream (by its magic
//          bytes) is read decompressed
//          size_hint: the bytes a file object is expected to give (0:
//          unknown), so that room for the values is made once
//       -> (names, selected, lead_lines, values, time, complete, width, lead)
//          width 0: the one width that fits the first timestep; the width
//          returned is 0 when no timestep needed one
//          select: None (every parameter) or a callable, called once with
//          the list of names after the header is read, that returns the
//          list of parameter indices to read; `selected` is that list
//          threads > 1: a regular file is read in that many parts at once
//          time: bytearray of float64, the time of each lead line, or
//          None when some lead line has none (lib/lead_lines.hpp)
//          lead: the numbers of the lead lines, (names, ends, name
//          indices, values): per line the end of its numbers (uint64), per
//          number its name's index (uint32) and value (float64), packed
//   read_header(path) -> names
//
// Each read opens its file once: the header, the width, the selection and
// every part of a read in parts come from that one opening.
// The interpreter lock is released while a file is read; a long read asks
// for pending signals every few megabytes, so Ctrl-C stops it.  A failure
// of the file raises korvant._native.ReadFailure with one dict argument
// describing it; the package turns that into its own exceptions.  Nothing
// is ever written to standard output or standard error.
#pragma once

#include <Python.h>

namespace tavrel::korvant {

struct ModuleState {
  PyObject* read_failure;  // the exception type
  PyObject* values_type;
};

ModuleState* state_of(PyObject* module) noexcept;

PyObject* read(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* read_header(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace tavrel::korvant
