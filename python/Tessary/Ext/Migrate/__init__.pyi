"""Schema migrations: inspect a database, diff it against the models, plan and
apply the statements, and keep versioned migration files."""

from typing import Any

# -- the schema of a database and of the models (inspect) ---------------------

# -- differences between a database and the models (diff) ---------------------

from collections.abc import Awaitable as _Awaitable, Generator as _Generator, Sequence as _Sequence
from typing import Literal as _Literal, final as _final, overload as _overload, type_check_only as _type_check_only

from Tessary.DB.Connector import (AioMysqlConnector as _AioMysqlConnector, AioSqliteConnector as _AioSqliteConnector,
                                  BaseConnector as _BaseConnector)
from Tessary.Model.DataModel import _DataModel as _Model

_OperationKind = _Literal["createTable", "dropTable", "renameTable", "addColumn", "dropColumn", "alterColumn",
                          "renameColumn", "createIndex", "dropIndex", "addForeignKey", "dropForeignKey", "execute"]

@_final
class Operation:
    """One step between two schemas, made by diff(), DB.checkSchema() and Operations (not by
    calling the class). str() is a readable line ("add column user.age INT NOT NULL DEFAULT 0",
    "drop column user.nick (destructive)"), repr() the op call a migration file holds
    ("op.addColumn('user', Column(...))"). Equal when they are the same step."""
    @property
    def kind(self) -> _OperationKind:
        """The op method that writes the step."""
    @property
    def table(self) -> str:
        """The table the step changes (a rename: its new name; a data step: "")."""
    @property
    def destructive(self) -> bool:
        """Dropping a table or a column, or narrowing a column's type (a shorter text, a
        smaller number, another type family): the step loses data by its kind alone."""
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

@_type_check_only
class _OperationsOrAwaitable(_Sequence[Operation], _Awaitable[list[Operation]]):
    """The operations on the handle's connector, which no static type shows: a list on a
    synchronous connector, an awaitable of it on an asynchronous one."""
    @_overload
    def __getitem__(self, index: int) -> Operation: ...
    @_overload
    def __getitem__(self, index: slice) -> _Sequence[Operation]: ...
    def __len__(self) -> int: ...
    def __await__(self) -> _Generator[Any, None, list[Operation]]: ...

@_overload
def diff(*models: type[_Model], connector: _BaseConnector) -> list[Operation]:
    """The operations that bring the database of `connector` to the schema of the model
    classes, in an order that runs (renames, created tables, per table: dropped keys and
    indexes, columns renamed, added, altered, dropped, created indexes; foreign keys;
    dropped tables last); [] when they agree. Renames only where a model declares
    renamedFrom. Give every model of the database: a table no model asks for is dropped."""
@_overload
def diff(*models: type[_Model], connector: _AioSqliteConnector | _AioMysqlConnector) -> _Awaitable[list[Operation]]: ...
@_overload
def diff(*models: type[_Model], connector: None = None) -> _OperationsOrAwaitable: ...

# -- the statements of operations (Operations, plan) ---------------------------

# -- migration files, their runner and the command line -----------------------
