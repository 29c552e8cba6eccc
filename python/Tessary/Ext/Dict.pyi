"""The attribute dictionary."""

from typing import Any, Final

_C_API: Final[object]

class DictPlus(dict[Any, Any]):
    """A dict whose keys can also be read and written as attributes; a key wins over a member.

    `d.x = 1` stores the key "x"; `del d.x` is not mapped to the keys (AttributeError).
    """

    __slots__ = ()
    def __getattribute__(self, item: str) -> Any: ...
    def __getattr__(self, item: str) -> Any: ...
    def __setattr__(self, key: str, value: Any) -> None: ...
