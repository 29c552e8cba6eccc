"""Executors: prepare statements of one model class, run them through the database handle
and map the results to model instances."""

import logging
from collections.abc import Mapping
from typing import Any, Callable, Coroutine, Generic, Iterable, Literal, Self, Sequence, TypeAlias, TypeVar, overload

from pymysql import IntegrityError as IntegrityError

from Tessary.DB.Generator import ColumnAlias, Expression, FunctionCall, SqlGenerator, _OrderItem
from Tessary.Model.DataModel import InstanceList, ModelInstance, _DataModel
from Tessary.Model.ModelProperty import BaseProperty, FilterListCell, ForeignKey, ForeignType as ForeignType

logger: logging.Logger

_M = TypeVar("_M", bound=_DataModel)
# save() and update() take a mapping of the model's values and give the same object back.
_I = TypeVar("_I")
# findForeignKey's "None when no row matches", as typeshed's MaybeNone: the None is not forced on
# every caller that knows the row exists, while what a row is stays typed.
_MaybeNone = Any
# A model's instance as the relation loaders take it: a ModelInstance, or what a type checker that
# does not follow ModelMeta.__call__ (mypy 1.0) takes `User(...)` for.
_InstanceOf: TypeAlias = ModelInstance[_M] | _M
# findAllBy's and values()'s orderBy: one term or a list/tuple of terms.
_OrderBy: TypeAlias = _OrderItem | list[_OrderItem] | tuple[_OrderItem, ...]
# What values() selects: columns, and anything named with .As(alias).
_Value: TypeAlias = BaseProperty[Any] | ColumnAlias
# What groupBy= takes: one term or a sequence of them.
_GroupTerm: TypeAlias = BaseProperty[Any] | Expression | FunctionCall
# update()'s columns: every column (None), the names given, or those assigned since the instance
# was loaded, made or written ("changed"). A bare str other than "changed" is refused at run time.
_Columns: TypeAlias = Sequence[str] | Literal["changed"] | None

class BaseModelExecutor(Generic[_M]):
    """The executor of model `_M`; what its queries give is typed by its subclasses."""
    sql: SqlGenerator | None
    @property
    def generator(self) -> SqlGenerator | None: ...
    @property
    def rowcount(self) -> int:
        """Rows the last write (save, update, delete, updateWhere, deleteWhere) wrote; -1 before any.
        An UPDATE counts the rows it matched, also those whose values it left as they were."""
    __dict__: dict[str, Any]
    def __init__(self, model: type[_M], work: Any = None) -> None: ...
    def reset(self) -> Self | None: ...
    def editSql(self, callback: Callable[[SqlGenerator[Any]], Any]) -> Self: ...
    def save(self, instance: Any) -> Any: ...
    def update(self, instance: Any) -> Any: ...
    def execute(self) -> Any: ...
    def findAnyMatch(self, instance: Any, limit: int = 0, offset: int = 0) -> Any:
        """Rows equal to the instance in every column it holds with a value other than None."""
    def findOneBy(self, Filter: FilterListCell | None = None) -> Any: ...
    def findAllBy(self, Filter: FilterListCell | None = None, *, orderBy: _OrderBy | None = None,
                  limit: int | None = None, offset: int | None = None) -> Any: ...
    def find(self, *cols: Any) -> Self: ...
    def By(self, Filter: FilterListCell | None = None) -> Any: ...
    def delete(self, instance: Any = None, filter: FilterListCell | None = None, *, cascade: bool = False) -> Any:
        """The rows `filter` matches, else the instance's row. With cascade=True (no filter): also the
        rows its one-to-one and one-to-many relations reach, recursively, and the junction rows of its
        many-to-many relations, in one transaction."""

class RowStream(Generic[_M]):
    """ModelExecutor.iterAllBy's instances, read a batch at a time; close() or `with` ends it early."""
    @property
    def closed(self) -> bool: ...
    def __iter__(self) -> Self: ...
    def __next__(self) -> ModelInstance[_M]: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, *exc: object) -> bool: ...

class AsyncRowStream(Generic[_M]):
    """AsyncModelExecutor.iterAllBy's instances for `async for`; aclose() or `async with` ends it early."""
    @property
    def closed(self) -> bool: ...
    def __aiter__(self) -> Self: ...
    def __anext__(self) -> Coroutine[Any, Any, ModelInstance[_M]]: ...
    def aclose(self) -> Coroutine[Any, Any, None]: ...
    def __aenter__(self) -> Coroutine[Any, Any, Self]: ...
    def __aexit__(self, *exc: object) -> Coroutine[Any, Any, None]: ...

class ModelExecutor(BaseModelExecutor[_M]):
    """The executor of the synchronous connectors: its queries run when called."""
    def findAnyMatch(self, instance: Any, limit: int = 0, offset: int = 0) -> InstanceList[_M]:
        """Rows equal to the instance in every column it holds with a value other than None."""
    def findOneBy(self, Filter: FilterListCell | None = None) -> ModelInstance[_M]:
        """The one matching row; QueryResoutIsNotOne when there is none or there are several."""
    def findAllBy(self, Filter: FilterListCell | None = None, *, orderBy: _OrderBy | None = None,
                  limit: int | None = None, offset: int | None = None) -> InstanceList[_M]:
        """Every row matching, every column. orderBy: one term or a sequence of terms (see
        SqlGenerator.orderBy); limit/offset: non-negative ints (an offset alone skips rows)."""
    def By(self, Filter: FilterListCell | None = None) -> InstanceList[_M]:
        """The rows of the columns chosen by find(), as instances holding those columns."""
    def delete(self, instance: Any = None, filter: FilterListCell | None = None, *, cascade: bool = False) -> None: ...
    def findListForeignKey(self, instances: Sequence[_InstanceOf[_M]] | None, deep: Any = None,
                           path: dict[str, Any] | None = None, clevel: int = 1, level: int = 3,
                           before: str | None = None, *, only: Sequence[str] | None = None) -> None:
        """`only`: the names of the relations the listed instances load (their related rows load all)."""
    def findForeignKey(self, instance: _InstanceOf[_M] | None, deep: Any = False, path: dict[str, Any] | None = None,
                       clevel: int = 1, level: int = 3, before: str | None = None, *,
                       only: Sequence[str] | None = None) -> ModelInstance[_M] | _MaybeNone:
        """`only`: the names of the relations the instance loads (None: all); with deep=True the
        related rows load all theirs. A name that is not a relation is a ValueError."""
    def findListForeignKeyIn(self, instances: Sequence[_InstanceOf[_M]], deep: Any = False, level: int = 3,
                             chunk: int | None = None, *, only: Sequence[str] | None = None) -> None: ...
    @overload
    def save(self, instance: _M) -> _M: ...  # mypy's view of User(...)
    @overload
    def save(self, instance: ModelInstance[_M]) -> ModelInstance[_M]: ...
    @overload
    def save(self, instance: _I) -> _I:
        """INSERT the columns the instance holds with a value other than None, then its related
        rows; pymysql's IntegrityError turns it into update(instance)."""
    def _saveOTO(self, res: Any, fk: ForeignKey, instance: Any) -> None: ...
    def _saveOTM(self, fk: ForeignKey, instance: Any) -> None: ...
    def _saveMTM(self, fk: ForeignKey, instance: Any) -> None: ...
    @overload
    def update(self, instance: _M, columns: _Columns = None) -> _M: ...  # mypy's view of User(...)
    @overload
    def update(self, instance: ModelInstance[_M], columns: _Columns = None) -> ModelInstance[_M]: ...
    @overload
    def update(self, instance: _I, columns: _Columns = None) -> _I:
        """UPDATE the instance's row by key, after its related rows: every column, the columns
        named, or the changed ones (none changed: no UPDATE, rowcount 0)."""
    def updateWhere(self, Filter: FilterListCell | None, /, *, everyRow: bool = False, **values: Any) -> int:
        """One UPDATE of the rows Filter matches (Filter None only with everyRow=True); a value
        that is a generator (FunctionCall, ...) is written as SQL. Returns the rows matched."""
    def deleteWhere(self, Filter: FilterListCell | None, *, everyRow: bool = False) -> int:
        """One DELETE of the rows Filter matches (Filter None only with everyRow=True); returns their number."""
    def iterAllBy(self, Filter: FilterListCell | None = None, batchSize: int = 1000) -> RowStream[_M]: ...
    def saveAll(self, instances: Iterable[_I], chunkSize: int | None = None) -> list[_I]: ...
    def upsert(self, instances: Iterable[_I], conflict: Sequence[BaseProperty[Any]], update: Sequence[BaseProperty[Any]] | None = None, chunkSize: int | None = None) -> list[_I]: ...
    def count(self, Filter: FilterListCell | None = None) -> int:
        """The number of matching rows (SELECT COUNT(*))."""
    def exists(self, Filter: FilterListCell | None = None) -> bool:
        """Whether a row matches (SELECT 1 ... LIMIT 1)."""
    def aggregate(self, Filter: FilterListCell | None = None, **named: FunctionCall | Expression) -> dict[str, Any]:
        """One row of the named aggregates over the matching rows: COUNT as an int, SUM of an
        integer column as an int, MIN/MAX of a column as the column's value."""
    def values(self, *columns: _Value, Filter: FilterListCell | None = None,
               groupBy: _GroupTerm | Sequence[_GroupTerm] = (), having: FilterListCell | None = None,
               orderBy: _OrderBy | None = None, limit: int | None = None, offset: int | None = None,
               distinct: bool = False) -> list[dict[str, Any]]:
        """The selected columns (default: all) of the matching rows as plain dicts keyed by column
        name or alias."""
    def execute(self) -> Any: ...

class AsyncModelExecutor(BaseModelExecutor[_M]):
    """The executor of the asynchronous connectors. Its own methods check their arguments
    when called and return a coroutine; the inherited operations that end in execute()
    (findAllBy, find/By, findAnyMatch, delete) return the unawaited coroutine of execute()."""

    def findAnyMatch(self, instance: Any, limit: int = 0,
                     offset: int = 0) -> Coroutine[Any, Any, InstanceList[_M]]:
        """Rows equal to the instance in every column it holds with a value other than None."""
    def findAllBy(self, Filter: FilterListCell | None = None, *, orderBy: _OrderBy | None = None,
                  limit: int | None = None,
                  offset: int | None = None) -> Coroutine[Any, Any, InstanceList[_M]]: ...
    def By(self, Filter: FilterListCell | None = None) -> Coroutine[Any, Any, InstanceList[_M]]: ...
    def delete(self, instance: Any = None, filter: FilterListCell | None = None, *,
               cascade: bool = False) -> Coroutine[Any, Any, None]: ...
    def findListForeignKey(self, instances: Sequence[_InstanceOf[_M]] | None, deep: Any = None,
                           path: dict[str, Any] | None = None, clevel: int = 1, level: int = 3,
                           before: str | None = None, *,
                           only: Sequence[str] | None = None) -> Coroutine[Any, Any, None]: ...
    def findForeignKey(self, instance: _InstanceOf[_M] | None, deep: Any = False, path: dict[str, Any] | None = None,
                       clevel: int = 1, level: int = 3, before: str | None = None, *,
                       only: Sequence[str] | None = None) -> Coroutine[Any, Any, ModelInstance[_M] | _MaybeNone]:
        """As ModelExecutor.findForeignKey, each query awaited in turn; a relation whose bind
        value is missing or None is left alone, and so is one with no matching row."""
    def findListForeignKeyIn(self, instances: Sequence[_InstanceOf[_M]], deep: Any = False, level: int = 3,
                             chunk: int | None = None, *,
                             only: Sequence[str] | None = None) -> Coroutine[Any, Any, None]: ...
    def findOneBy(self, Filter: FilterListCell | None = None) -> Coroutine[Any, Any, ModelInstance[_M] | None]:
        """The one matching row; None when there is none; QueryResoutIsNotOne when there are several."""
    @overload
    def save(self, instance: _M) -> Coroutine[Any, Any, _M]: ...  # mypy's view of User(...)
    @overload
    def save(self, instance: ModelInstance[_M]) -> Coroutine[Any, Any, ModelInstance[_M]]: ...
    @overload
    def save(self, instance: _I) -> Coroutine[Any, Any, _I]:
        """INSERT the columns the instance holds with a value other than None, then its related
        rows; the IntegrityError of pymysql or sqlite3 turns it into update(instance)."""
    def _saveOTO(self, res: Any, fk: ForeignKey, instance: Any) -> Coroutine[Any, Any, None]: ...
    def _saveOTM(self, fk: ForeignKey, instance: Any) -> Coroutine[Any, Any, None]: ...
    def _saveMTM(self, fk: ForeignKey, instance: Any) -> Coroutine[Any, Any, None]: ...
    @overload
    def update(self, instance: _M, columns: _Columns = None) -> Coroutine[Any, Any, _M]: ...  # mypy's view of User(...)
    @overload
    def update(self, instance: ModelInstance[_M], columns: _Columns = None) -> Coroutine[Any, Any, ModelInstance[_M]]: ...
    @overload
    def update(self, instance: _I, columns: _Columns = None) -> Coroutine[Any, Any, _I]:
        """As ModelExecutor.update, awaited; "changed" needs a ModelInstance."""
    def updateWhere(self, Filter: FilterListCell | None, /, *, everyRow: bool = False,
                    **values: Any) -> Coroutine[Any, Any, int]:
        """As ModelExecutor.updateWhere, awaited."""
    def deleteWhere(self, Filter: FilterListCell | None, *, everyRow: bool = False) -> Coroutine[Any, Any, int]:
        """As ModelExecutor.deleteWhere, awaited."""
    def iterAllBy(self, Filter: FilterListCell | None = None, batchSize: int = 1000) -> AsyncRowStream[_M]: ...
    def saveAll(self, instances: Iterable[_I], chunkSize: int | None = None) -> Coroutine[Any, Any, list[_I]]: ...
    def upsert(self, instances: Iterable[_I], conflict: Sequence[BaseProperty[Any]], update: Sequence[BaseProperty[Any]] | None = None, chunkSize: int | None = None) -> Coroutine[Any, Any, list[_I]]: ...
    def count(self, Filter: FilterListCell | None = None) -> Coroutine[Any, Any, int]: ...
    def exists(self, Filter: FilterListCell | None = None) -> Coroutine[Any, Any, bool]: ...
    def aggregate(self, Filter: FilterListCell | None = None,
                  **named: FunctionCall | Expression) -> Coroutine[Any, Any, dict[str, Any]]: ...
    def values(self, *columns: _Value, Filter: FilterListCell | None = None,
               groupBy: _GroupTerm | Sequence[_GroupTerm] = (), having: FilterListCell | None = None,
               orderBy: _OrderBy | None = None, limit: int | None = None, offset: int | None = None,
               distinct: bool = False) -> Coroutine[Any, Any, list[dict[str, Any]]]: ...
    def execute(self) -> Coroutine[Any, Any, Any]: ...
