"""Common utilities of the kit."""
from orvane._lazy import lazy_exports

__getattr__, __dir__ = lazy_exports(__name__, {})
__all__: list[str] = []
