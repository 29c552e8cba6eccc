"""Query results one page at a time, with the total row count and the number of pages."""

from collections.abc import Coroutine
from typing import Any, Callable, Generic as Generic, Sequence, TypeVar as TypeVar

from Tessary.DB.DB import DB as DB
from Tessary.DB.Generator import SqlGenerator
from Tessary.Ext.Dict import DictPlus
from Tessary.Model.DataModel import DataModel as DataModel, InstanceList, ModelInstance
from Tessary.Model.ModelProperty import FilterListCell

T = TypeVar("T")

class Page(DictPlus):
    """One page of results: page, pageSize, content, total and totalPage, readable as keys or attributes."""

    page: int
    pageSize: int
    content: InstanceList | list[ModelInstance] | None
    total: int
    totalPage: int
    def __init__(self, page: int, pageSize: int, content: list[Any] | None = ..., total: int = 0) -> None: ...

class _Folio:
    """Paging controller supporting chained calls; end the chain with execute()."""

    @property
    def page(self) -> int: ...
    @property
    def pageSize(self) -> int: ...
    @property
    def deep(self) -> bool: ...
    def __init__(self, target: type[DataModel], page: int = 1, pageSize: int = 10, findForeign: Any = False) -> None: ...
    def filter(self, args: FilterListCell | None = None) -> _Folio:
        """Select every column of the model with this condition (once per controller)."""
    def orderBy(self, *items: str) -> _Folio: ...
    def setPage(self, page: int, size: int = 0) -> _Folio:
        """The page to fetch; a positive pageSize replaces the page size."""
    def editSql(self, callable: Callable[[SqlGenerator], Any]) -> _Folio:
        """Hand the pending statement builder to `callable`."""
    def _getCount(self) -> Sequence[Sequence[Any]] | Coroutine[Any, Any, Sequence[Sequence[Any]]]:
        """Send `select count(<table>.<key>) from <table> <joins> <where>`."""
    def _execute(self) -> Page: ...
    def _asyncExecute(self) -> Coroutine[Any, Any, Page]: ...
    def execute(self) -> Page | Coroutine[Any, Any, Page]:
        """Fetch the page; with an asynchronous connector, a coroutine to await."""

def Folio(target: type[DataModel], page: int = 1, pageSize: int = 10, findForeign: Any = False) -> _Folio:
    """A paging controller for the model class `target`."""
