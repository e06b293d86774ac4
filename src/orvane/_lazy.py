"""Lazy attribute loading for packages, so that ``import orvane`` stays fast
and loads no compiled module until one is used."""
from __future__ import annotations

import importlib


def lazy_exports(package: str, exports: dict[str, str]):
    """Return ``(__getattr__, __dir__)`` for a package whose public names live
    in submodules. ``exports`` maps a public name to the relative module
    holding it; a name that maps to its own ``"."+name`` is a subpackage."""

    def __getattr__(name: str):
        target = exports.get(name)
        if target is None:
            raise AttributeError(f"module {package!r} has no attribute {name!r}")
        module = importlib.import_module(target, package)
        value = module if target == "." + name else getattr(module, name)
        importlib.import_module(package).__dict__[name] = value
        return value

    def __dir__():
        return sorted(set(importlib.import_module(package).__dict__) | set(exports))

    return __getattr__, __dir__
