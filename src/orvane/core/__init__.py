"""Core of the kit: solver base classes, the package's exception, solution helpers."""
from orvane.core._errors import OrvaneError
from orvane.core._solver import IsingSolver, QuboSolver
from orvane.core._solutions import get_sorted_solutions, ising_energies

__all__ = ["OrvaneError", "IsingSolver", "QuboSolver", "get_sorted_solutions", "ising_energies"]
