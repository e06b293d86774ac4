"""Opt-in usage tracking: ``track_data`` and ``post_sdk_data``."""
from orvane._lazy import lazy_exports

__getattr__, __dir__ = lazy_exports(__name__, {
    "track_data": "._usagehook",
    "post_sdk_data": "._usagepost",
    "TaskStatus": "._usagepost",
})
__all__ = ["track_data", "post_sdk_data", "TaskStatus"]
