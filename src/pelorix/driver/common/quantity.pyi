from collections.abc import Iterable
from typing import Any

class Quantity:
    name: str
    default: dict[str, Any]
    def __init__(self, name: str, value: Any = None, ch: int | str = 1, unit: str = "") -> None: ...

def newcfg(
    quants: Iterable[Quantity], CHs: Iterable[int | str]
) -> dict[str, dict[int | str, dict[str, Any]]]: ...
