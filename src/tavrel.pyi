# Type stub of the extension module tavrel: reads KORVANT plot files.
#
# The function returns the values of parameter 0 over all timesteps, and a
# list of the other parameters' values, one list per parameter, each value a
# single-precision number widened to float.

__all__ = ["rust_read_korvant"]

def rust_read_korvant(file_path: str, n_digits: int) -> tuple[list[float], list[list[float]]]:
    """Reads the KORVANT plot file at `file_path` whose data fields are `n_digits` wide."""
