from typing import final

from vela_sha.types import CompositionResult, Manifest, TemplateInput, TemplateResult

__all__ = ["VelaShaError", "calculate_hash", "calculate_composition_hash"]

@final
class VelaShaError(Exception):
    """Every validation and hashing failure of vela-sha.

    `code` is one of vela_sha.types.ErrorCode when the module raised it.
    """

    def __new__(cls, code: str, message: str) -> VelaShaError: ...
    @property
    def code(self) -> str: ...
    @property
    def message(self) -> str: ...

def calculate_hash(input: TemplateInput) -> TemplateResult: ...
def calculate_composition_hash(input: Manifest) -> CompositionResult: ...
