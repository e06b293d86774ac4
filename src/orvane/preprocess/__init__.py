"""Precision adaption and other matrix preprocessing."""
from orvane._lazy import lazy_exports

_EXPORTS = {
    "perform_splitprec": "._splitprec",
    "restore_split_solution": "._splitprec",
    "construct_split_solution": "._splitprec",
    "PrecisionReducer": "._precreduce",
}
__getattr__, __dir__ = lazy_exports(__name__, _EXPORTS)
__all__ = list(_EXPORTS)
