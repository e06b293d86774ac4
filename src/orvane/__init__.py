"""orvane: Ising, QUBO and higher-order binary optimisation.

    import orvane as ov
    ov.classical.BruteForceOptimizer().solve(matrix)

Subpackages load on first use; importing ``orvane`` starts no thread,
process, connection or file.
"""
from orvane._lazy import lazy_exports

__version__ = "0.1.0"

_SUBPACKAGES = ("classical", "sampler", "preprocess", "hobo", "hybrid", "cim", "usage", "core", "common")
__getattr__, __dir__ = lazy_exports(__name__, {name: "." + name for name in _SUBPACKAGES})
__all__ = list(_SUBPACKAGES)
