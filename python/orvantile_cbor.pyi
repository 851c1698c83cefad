# Type information for the orvantile_cbor extension module.

from typing import Any, Dict, List, Optional, Tuple, Union

from typing_extensions import Protocol, SupportsIndex, TypeAlias

# An object with a truth test of its own, written as a CBOR boolean unless it
# is also an integer.
class _SupportsBool(Protocol):
    def __bool__(self) -> bool: ...

# What dumps accepts. Lists and dicts are invariant, so spelling out their
# item types would refuse a list[int] or a dict[str, float]; their items are
# classified when they are encoded, and a refused one raises RuntimeError.
_Value: TypeAlias = Union[
    None,
    bool,
    int,
    float,
    str,
    bytes,
    List[Any],
    Tuple[Any, ...],
    Dict[Any, Any],
    SupportsIndex,
    _SupportsBool,
]

__version__: str

def dumps(
    value: _Value,
    indefinite: Optional[_SupportsBool] = True,
    max_depth: SupportsIndex = 0,
) -> bytes: ...
