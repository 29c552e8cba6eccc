"""Schema migrations: inspect a database, diff it against the models, plan and
apply the statements, and keep versioned migration files."""

from collections.abc import Awaitable, Generator
from typing import Any, ClassVar, Literal, overload, type_check_only

from Tessary.DB.Connector import AioMysqlConnector, AioSqliteConnector, MysqlConnector, Sqlite3Connector
from Tessary.Model.DataModel import _DataModel

# -- the schema of a database and of the models (inspect) ---------------------

# Schema objects compare by value (names included) and are not hashable; their repr is the
# constructor call that rebuilds them, keyword arguments only where they differ from the defaults.

class Column:
    """One column of a table: `type` its SQL type ('' for a SQLite column declared without one),
    `default` the SQL literal text of its DEFAULT clause ("'bob'", "5", "CURRENT_TIMESTAMP") or
    None; `autoIncrement` a key the database generates."""
    def __init__(self, name: str, type: str, *, nullable: bool = True, default: str | None = None,
                 autoIncrement: bool = False) -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def type(self) -> str: ...
    @property
    def nullable(self) -> bool: ...
    @property
    def default(self) -> str | None: ...
    @property
    def autoIncrement(self) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

class Key:
    """An index (CREATE [UNIQUE] INDEX), or with constraint=True a UNIQUE constraint written inside
    CREATE TABLE (unique=True required). `name` is '' where the database keeps none (an unnamed
    SQLite constraint). On MariaDB both kinds are unique indexes: those named `uq_...` read back as
    constraints."""
    def __init__(self, name: str, columns: list[str] | tuple[str, ...], *, unique: bool = False,
                 constraint: bool = False) -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def columns(self) -> tuple[str, ...]: ...
    @property
    def unique(self) -> bool: ...
    @property
    def constraint(self) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

_OnDelete = Literal["CASCADE", "SET NULL", "RESTRICT", "NO ACTION"]

class Reference:
    """A foreign-key constraint: FOREIGN KEY (columns) REFERENCES refTable (refColumns) ON DELETE onDelete."""
    def __init__(self, name: str, columns: list[str] | tuple[str, ...], refTable: str,
                 refColumns: list[str] | tuple[str, ...], *, onDelete: _OnDelete | str = "NO ACTION") -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def columns(self) -> tuple[str, ...]: ...
    @property
    def refTable(self) -> str: ...
    @property
    def refColumns(self) -> tuple[str, ...]: ...
    @property
    def onDelete(self) -> str: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

class Table:
    """One table: columns in table order, the primary-key column names, its keys (indexes and
    UNIQUE constraints) and references (foreign keys), keys and references sorted by name."""
    def __init__(self, name: str, columns: list[Column] | tuple[Column, ...], *,
                 primaryKey: list[str] | tuple[str, ...] = (), keys: list[Key] | tuple[Key, ...] = (),
                 references: list[Reference] | tuple[Reference, ...] = ()) -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def columns(self) -> tuple[Column, ...]: ...
    @property
    def primaryKey(self) -> tuple[str, ...]: ...
    @property
    def keys(self) -> tuple[Key, ...]: ...
    @property
    def references(self) -> tuple[Reference, ...]: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

_Schema = dict[str, Table]

# Without a connector the handle's is used, which no static type shows: the result is typed as
# usable either way, the dict itself (synchronous connectors) or awaited (coroutine ones).
@type_check_only
class _SchemaOrAwaitable(dict[str, Table], Awaitable[dict[str, Table]]):
    def __await__(self) -> Generator[Any, None, dict[str, Table]]: ...

@overload
def inspect(connector: AioSqliteConnector | AioMysqlConnector) -> Awaitable[_Schema]: ...
@overload
def inspect(connector: Sqlite3Connector | MysqlConnector) -> _Schema: ...
@overload
def inspect(connector: None = None) -> _SchemaOrAwaitable:
    """The live schema of the connector's database (the handle's connector when None): table name
    -> Table, sorted by name; SQLite's own tables and tessary_migrations are left out. Types read
    back in canonical form (on MariaDB int(11) -> INT, tinyint(1) -> BOOLEAN, json -> LONGTEXT) and
    defaults as SQL literals ('NULL' is no default)."""

@overload
def modelSchema(*models: type[_DataModel], connector: AioSqliteConnector | AioMysqlConnector) -> Awaitable[_Schema]: ...
@overload
def modelSchema(*models: type[_DataModel], connector: Sqlite3Connector | MysqlConnector) -> _Schema: ...
@overload
def modelSchema(*models: type[_DataModel], connector: None = None) -> _SchemaOrAwaitable:
    """The schema the models ask for on the connector's database, as inspect() reads it once
    createTables(*models) has made the tables: table name -> Table in dependency order (a table
    referenced by a foreign key before the table holding it), the junction models of many-to-many
    relations included."""

# -- differences between a database and the models (diff) ---------------------

# -- the statements of operations (Operations, plan) ---------------------------

# -- migration files, their runner and the command line -----------------------
