"""Exact, fast SHA-256 digests of templates and of resolved template manifests."""

from vela_sha._native import VelaShaError, calculate_composition_hash, calculate_hash

__all__ = ["VelaShaError", "calculate_hash", "calculate_composition_hash"]
