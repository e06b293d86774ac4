"""Simulated annealing samplers (``orvane.sampler._annealer``)."""
from orvane._lazy import lazy_exports

__getattr__, __dir__ = lazy_exports(__name__, {
    "SimulatedAnnealingSampler": "._annealer",
    "SimulatedAnnealingSamplerBase": "._annealer",
    "auto_temperature": "._annealer",
    "split_near_uniform": "._annealer",
})
__all__ = ["SimulatedAnnealingSampler", "SimulatedAnnealingSamplerBase", "auto_temperature", "split_near_uniform"]
