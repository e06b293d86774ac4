"""Every public callable of the compiled modules has a real signature and a docstring."""
import importlib
import inspect

import pytest

MODULES = [
    "orvane.classical._exhaustive", "orvane.classical._tabusolve", "orvane.sampler._annealer",
    "orvane.preprocess._splitprec", "orvane.preprocess._precreduce",
    "orvane.usage._usagehook", "orvane.usage._usagepost",
]


def callables(module):
    for name, obj in vars(module).items():
        if name.startswith("__") or getattr(obj, "__module__", None) != module.__name__:
            continue
        if inspect.isclass(obj):
            for attr, member in vars(obj).items():
                if (inspect.isfunction(member) and member.__module__ == module.__name__
                        and (not attr.startswith("__") or attr == "__init__")):
                    yield f"{name}.{attr}", member
        elif inspect.isfunction(obj):
            yield name, obj


@pytest.mark.parametrize("module_name", MODULES)
def test_signatures_and_docs(module_name):
    module = importlib.import_module(module_name)
    found = list(callables(module))
    assert found
    for qualname, fn in found:
        sig = inspect.signature(fn)
        generic = [p for p in sig.parameters.values() if p.kind in (p.VAR_POSITIONAL, p.VAR_KEYWORD)]
        assert not generic or fn.__name__ in {"wrapper"}, f"{qualname}{sig}"
        assert fn.__doc__, f"{qualname} has no docstring"
        assert fn.__module__ == module_name and fn.__qualname__.endswith(fn.__name__)
