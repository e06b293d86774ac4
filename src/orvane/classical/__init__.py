"""Classical Ising solvers: exhaustive, tabu search and simulated annealing."""
from orvane._lazy import lazy_exports

__getattr__, __dir__ = lazy_exports(__name__, {
    "BruteForceOptimizer": "._exhaustive",
    "TabuSearchOptimizer": "._tabusolve",
    "SimulatedAnnealingOptimizer": "._annealing",
})
__all__ = ["BruteForceOptimizer", "TabuSearchOptimizer", "SimulatedAnnealingOptimizer"]
