"""Query results one page at a time, with the total row count and the number of pages."""

from typing import Any, Callable, Coroutine, Generic as Generic, Sequence, TypeVar as TypeVar

from Tessary.DB.DB import DB as DB
from Tessary.DB.Generator import SqlGenerator, _OrderItem
from Tessary.Ext.Dict import DictPlus
from Tessary.Model.DataModel import DataModel as DataModel, ModelInstance
from Tessary.Model.ModelProperty import FilterListCell

T = TypeVar("T")
_M = TypeVar("_M", bound=DataModel)

class Page(DictPlus, Generic[_M]):
    """One page of results. Keys, also readable and writable as attributes: page, pageSize,
    content (the page's instances; a list of its own when none is given), total and, once
    fetched, totalPage."""

    page: int
    pageSize: int
    content: list[ModelInstance[_M]]
    total: int
    totalPage: int
    next: tuple[Any, ...] | None
    """A keyset page's `after` for the page that follows it; None after the last."""
    def __init__(self, page: int, pageSize: int, content: list[Any] | None = ..., total: int = 0) -> None: ...

# Which connector runs the fetch is known only at run time: execute() is typed as the
# synchronous connectors' Page (the default connector is synchronous). With an asynchronous
# connector it gives a coroutine; code there casts it to Awaitable[Page[Model]].
class _Folio(Generic[_M]):
    """Paging controller supporting chained calls. The filter, ordering and limit accumulate on
    the statement builder of the model's executor, obtained once at construction; a model whose
    getExecutor() returns None is rejected with TypeError."""

    @property
    def page(self) -> int: ...
    @property
    def pageSize(self) -> int: ...
    @property
    def deep(self) -> bool: ...
    def __init__(self, target: type[_M], page: int = 1, pageSize: int = 10, findForeign: Any = False) -> None:
        """While __debug__ was true at import, a pageSize or page not above zero raises AssertionError."""
    def filter(self, args: FilterListCell | None = None) -> _Folio[_M]:
        """Select every column of the model with this condition; at most once per controller."""
    def findForeign(self, *, only: Sequence[str] | None = None) -> _Folio[_M]:
        """Load the related rows of the page's instances as well (only the relations `only`
        names, when given; a name that is not a relation is a ValueError when the page loads)."""
    def findForeignIn(self, *, only: Sequence[str] | None = None) -> _Folio[_M]: ...
    def orderBy(self, *args: _OrderItem) -> _Folio[_M]:
        """ORDER BY as SqlGenerator.orderBy: columns, col.asc()/col.desc(), expressions or SQL text."""
    def setPage(self, page: int, pageSize: int = 0) -> _Folio[_M]:
        """The page to fetch; a pageSize above zero replaces the page size."""
    def editSql(self, callable: Callable[[SqlGenerator[Any]], Any]) -> _Folio[_M]:
        """Hand the pending statement builder to `callable`."""
    def keyset(self, *columns: Any, after: tuple[Any, ...] | None = None, count: bool = False) -> KeysetFolio[_M]: ...
    def _getCount(self) -> Any:
        """Send "select count(<table>.<pk>) from <table> <joins> <where>" through the handle's executeSql
        and return its rows (an awaitable of them with an asynchronous connector)."""
    def _execute(self) -> Page[_M]:
        """The synchronous fetch. Without a filter every row matches (the model's columns are selected)."""
    def _asyncExecute(self) -> Coroutine[Any, Any, Page[_M]]:
        """The coroutine fetch: awaits the count, the page's rows and the related rows."""
    def execute(self) -> Page[_M]:
        """End of the call chain: the page, or with an asynchronous connector a coroutine yielding it."""

class KeysetFolio(Generic[_M]):
    """The page after `after` in the order of the keyset columns: execute() gives a Page of
    content, pageSize and next (the following page's `after`, None after the last), with total
    and totalPage only when counted."""
    def execute(self) -> Page[_M]: ...

def Folio(target: type[_M], page: int = 1, pageSize: int = 10, findForeign: Any = False) -> _Folio[_M]:
    """A paging controller for the model class `target`."""
