"""The optional libraries: imported where they are used, and when one is
missing, an ImportError that says what to install."""

from __future__ import annotations

import importlib
import types

__all__ = ["MissingLibrary", "distribution_name", "install_hint", "need"]


class MissingLibrary(ImportError):
    """An optional library that the work asked for needs is not installed."""


def distribution_name() -> str | None:
    """The name of the installed distribution that holds this package, or
    None where it runs from a build tree."""
    try:
        from importlib.metadata import packages_distributions

        return packages_distributions().get("korvant", [None])[0]
    except Exception:  # noqa: BLE001  (broken metadata of other distributions)
        return None


def install_hint(debian: str, extra: str) -> str:
    """What to install, by Debian package and by pip extra."""
    return f"install {debian} or `pip install {distribution_name() or 'tavrel'}[{extra}]`"


def need(module: str, purpose: str, extra: str) -> types.ModuleType:
    """Imports `module`, or raises MissingLibrary naming what to install."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise MissingLibrary(f"{purpose} needs {module}: {install_hint(f'the Debian package python3-{module}', extra)}"
                             ) from None
