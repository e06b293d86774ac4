from typing import Callable, TypeVar

F = TypeVar("F", bound=Callable[..., object])

def track_data(alg_name: str | None = None, enabled: bool = False) -> Callable[[F], F]: ...
