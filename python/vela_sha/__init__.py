"""Exact, fast SHA-256 digests of templates and of resolved template manifests.

    >>> from vela_sha import calculate_hash
    >>> calculate_hash({"utf8_file_bytes": b"a\\r\\nb"})["sha256"][:16]
    '7e18f737311b2dc3'
"""

from typing import Any as _Any, Callable as _Callable

from vela_sha._native import VelaShaError, calculate_composition_hash, calculate_hash
from vela_sha._ext import TemplateHasher, hash_file, hash_files, iter_hash_files, manifest_problems

__all__ = ["VelaShaError", "calculate_hash", "calculate_composition_hash", "TemplateHasher", "hash_file",
           "iter_hash_files", "hash_files", "manifest_problems"]
__version__ = "0.1.0"


def _rebuild_error(
    code: str, message: str, args: tuple[_Any, ...], state: dict[str, _Any]
) -> VelaShaError:
    error = VelaShaError(code, message)
    error.args = args
    error.__dict__.update(state)  # offset, line, notes: whatever the instance carries
    return error


def _reduce_error(error: VelaShaError) -> tuple[_Callable[..., VelaShaError], tuple[_Any, ...]]:
    # The class stays in "builtins" (tracebacks show its bare name), where
    # pickle cannot find it; instances are rebuilt through this module instead.
    return _rebuild_error, (error.code, error.message, error.args, dict(error.__dict__))


# On the class rather than in copyreg: Dask's `distributed` (through tblib)
# puts its own copyreg reducer on every exception class it meets, at import and
# again for each error a task raises, and that reducer asks the class's
# __reduce__. The class cannot be subclassed, so this rebuilds it exactly.
VelaShaError.__reduce__ = _reduce_error  # type: ignore[assignment]
# Errors about a file's text carry `filename`; every other error reads None,
# as OSError does.
VelaShaError.filename = None
