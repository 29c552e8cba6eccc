"""Query results one page at a time, with the total row count and the number of pages."""

from typing import Any, Callable, Coroutine, Generic as Generic, Sequence, TypeVar as TypeVar

from Tessary.DB.DB import DB as DB
from Tessary.DB.Generator import SqlGenerator
from Tessary.Ext.Dict import DictPlus
from Tessary.Model.DataModel import DataModel as DataModel, InstanceList
from Tessary.Model.ModelProperty import FilterListCell

T = TypeVar("T")

class Page(DictPlus):
    """One page of results. Keys, also readable and writable as attributes: page, pageSize,
    content (the page's instances; a list of its own when none is given), total and, once
    fetched, totalPage."""

    page: int
    pageSize: int
    content: InstanceList | list[Any] | None
    total: int
    totalPage: int
    def __init__(self, page: int, pageSize: int, content: list[Any] | None = ..., total: int = 0) -> None: ...

class _Folio:
    """Paging controller supporting chained calls. The filter, ordering and limit accumulate on
    the statement builder of the model's executor, obtained once at construction; a model whose
    getExecutor() returns None is rejected with TypeError."""

    @property
    def page(self) -> int: ...
    @property
    def pageSize(self) -> int: ...
    @property
    def deep(self) -> bool: ...
    def __init__(self, target: type[DataModel], page: int = 1, pageSize: int = 10, findForeign: Any = False) -> None:
        """While __debug__ was true at import, a pageSize or page not above zero raises AssertionError."""
    def filter(self, args: FilterListCell | None = None) -> _Folio:
        """Select every column of the model with this condition; at most once per controller."""
    def findForeign(self) -> _Folio:
        """Load the related rows of the page's instances as well."""
    def findForeignIn(self) -> _Folio: ...
    def orderBy(self, *args: str) -> _Folio: ...
    def setPage(self, page: int, pageSize: int = 0) -> _Folio:
        """The page to fetch; a pageSize above zero replaces the page size."""
    def editSql(self, callable: Callable[[SqlGenerator | None], Any]) -> _Folio:
        """Hand the pending statement builder to `callable`."""
    def keyset(self, *columns: Any, after: tuple[Any, ...] | None = None, count: bool = False) -> KeysetFolio: ...
    def _getCount(self) -> Any:
        """Send "select count(<table>.<pk>) from <table> <joins> <where>" through the handle's executeSql
        and return its rows (an awaitable of them with an asynchronous connector)."""
    def _execute(self) -> Page:
        """The synchronous fetch. Without a filter every row matches (the model's columns are selected)."""
    def _asyncExecute(self) -> Coroutine[Any, Any, Page]:
        """The coroutine fetch: awaits the count, the page's rows and the related rows."""
    def execute(self) -> Page | Coroutine[Any, Any, Page]:
        """End of the call chain: the page, or with an asynchronous connector a coroutine yielding it."""

class KeysetFolio:
    """The page after `after` in the order of the keyset columns: execute() gives a Page of
    content, pageSize and next (the following page's `after`, None after the last), with total
    and totalPage only when counted."""
    def execute(self) -> Page | Coroutine[Any, Any, Page]: ...

def Folio(target: type[DataModel], page: int = 1, pageSize: int = 10, findForeign: Any = False) -> _Folio:
    """A paging controller for the model class `target`."""
