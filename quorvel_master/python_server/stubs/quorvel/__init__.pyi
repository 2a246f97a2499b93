"""Drive the open workbook from Python.

Every object of the workbook's object model is reached through a proxy: reading an attribute,
writing one, calling a function or reading an item becomes one request to the add-in, and the
call returns once the add-in has answered.
"""

from types import TracebackType
from typing import Any, Callable, Dict, List, Optional, Type

class OfficeJsObject:
    """Proxy of one object of the workbook's object model (a workbook, a range, a function).

    Attribute reads and writes, calls and item reads are sent to the add-in and answered with
    plain values or further proxies.
    """

    def __init__(self, object_id: int, type_name: str) -> None:
        """Wrap the add-in object with this ID and type name."""
    def __getattr__(self, name: str) -> Any:
        """Read an attribute of the add-in object."""
    def __setattr__(self, name: str, value: Any) -> None:
        """Write an attribute of the add-in object."""
    def __getitem__(self, index: Any) -> Any:
        """Read an item of the add-in object."""
    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        """Call the add-in function and return its result."""

class OfficeJsArray(List[Any]):
    """A list read from the add-in; its items are a snapshot of the array at reading time."""

class OfficeJsDict(Dict[str, Any]):
    """A dict read from the add-in; its items are a snapshot of the object at reading time."""

class OfficeJsTransaction:
    """Groups attribute writes into one batch that the add-in commits together.

    Use it as a context manager: the batch opens on entry and is committed on a clean exit.
    """

    def __init__(
        self,
        roolback_at_error: bool = False,
        raiseError: bool = True,
        error_callback: Optional[Callable[[Any, Any, Any], Any]] = None,
        block_gets: bool = False,
    ) -> None:
        """Prepare a transaction; roolback_at_error undoes the batch when the block fails,
        raiseError lets the block's exception through, error_callback is called with the
        exception's type, value and traceback, and block_gets refuses reads inside the batch."""
    def commit(self) -> None:
        """Commit the writes made so far; inside a with block the next batch then opens."""
    def __enter__(self) -> OfficeJsTransaction:
        """Open the batch and return the transaction."""
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_val: Optional[BaseException],
        exc_tb: Optional[TracebackType],
    ) -> Optional[bool]:
        """Commit the batch after a clean block, or handle the block's exception."""

Excel: OfficeJsObject
"""The workbook application's root object."""

Context: OfficeJsObject
"""The request context of the add-in."""

def GetSetting(*args: Any) -> Any:
    """Read a setting of the add-in."""

def Union(*ranges: Any) -> Any:
    """Return the range that covers all the given ranges."""

def Intersect(*ranges: Any) -> Any:
    """Return the range that the given ranges have in common."""
