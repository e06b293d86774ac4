"""Common utilities of the kit."""
from orvane._lazy import lazy_exports

__getattr__, __dir__ = lazy_exports(__name__, {
    "HeapUniquePool": "._pool",
})
__all__ = ["HeapUniquePool"]
