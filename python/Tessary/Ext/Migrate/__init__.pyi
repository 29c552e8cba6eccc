"""Schema migrations: inspect a database, diff it against the models, plan and
apply the statements, and keep versioned migration files."""

from collections.abc import Awaitable, Generator, Iterable, Sequence
from os import PathLike
from types import ModuleType
from typing import Any, ClassVar, Literal, TypedDict, final, overload, type_check_only

from Tessary.DB.Connector import AioMysqlConnector, AioSqliteConnector, BaseConnector, MysqlConnector, Sqlite3Connector
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

_OperationKind = Literal["createTable", "dropTable", "renameTable", "addColumn", "dropColumn", "alterColumn",
                          "renameColumn", "createIndex", "dropIndex", "addForeignKey", "dropForeignKey", "execute"]

@final
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

@type_check_only
class _OperationsOrAwaitable(Sequence[Operation], Awaitable[list[Operation]]):
    """The operations on the handle's connector, which no static type shows: a list on a
    synchronous connector, an awaitable of it on an asynchronous one."""
    @overload
    def __getitem__(self, index: int) -> Operation: ...
    @overload
    def __getitem__(self, index: slice) -> Sequence[Operation]: ...
    def __len__(self) -> int: ...
    def __await__(self) -> Generator[Any, None, list[Operation]]: ...

@overload
def diff(*models: type[_DataModel], connector: BaseConnector) -> list[Operation]:
    """The operations that bring the database of `connector` to the schema of the model
    classes, in an order that runs (renames, created tables, per table: dropped keys and
    indexes, columns renamed, added, altered, dropped, created indexes; foreign keys;
    dropped tables last); [] when they agree. Renames only where a model declares
    renamedFrom. Give every model of the database: a table no model asks for is dropped."""
@overload
def diff(*models: type[_DataModel], connector: AioSqliteConnector | AioMysqlConnector) -> Awaitable[list[Operation]]: ...
@overload
def diff(*models: type[_DataModel], connector: None = None) -> _OperationsOrAwaitable: ...

# -- the statements of operations (Operations, plan) ---------------------------

class Operations:
    """The `op` a migration file's upgrade() and downgrade() receive. Each
    method records one step (an Operation) in `operations` and runs nothing;
    every method returns None."""
    def __init__(self) -> None: ...
    @property
    def operations(self) -> list[Operation]:
        """The recorded steps, in call order."""
    def createTable(self, table: Table) -> None: ...
    def dropTable(self, table: Table) -> None:
        """`table` is the table as it was, so that the step can be undone."""
    def renameTable(self, old: str, new: str) -> None: ...
    def addColumn(self, table: str, column: Column) -> None: ...
    def dropColumn(self, table: str, column: Column) -> None:
        """`column` is the column as it was."""
    def alterColumn(self, table: str, column: Column, *, before: Column) -> None:
        """A change of type, nullability or default of the column both name."""
    def renameColumn(self, table: str, old: str, new: str) -> None: ...
    def createIndex(self, table: str, key: Key) -> None: ...
    def dropIndex(self, table: str, key: Key) -> None: ...
    def addForeignKey(self, table: str, reference: Reference) -> None: ...
    def dropForeignKey(self, table: str, reference: Reference) -> None: ...
    def execute(self, sql: str, args: tuple[Any, ...] | list[Any] = ()) -> None:
        """A data step: `sql` with %s placeholders, its values in `args`."""

def plan(operations: Operations | Iterable[Operation], connector: Any = None, *,
         allowDestructive: bool = False) -> list[tuple[str, tuple[Any, ...]]]:
    """The (sql, args) statements that would run `operations` on the database
    of `connector` (the handle's when None; a synchronous connector), without
    running anything; SQLite's table rebuilds come with the foreign-key
    pragmas the runner puts around them. Raises DestructiveChangeError naming
    each destructive step unless `allowDestructive`."""

# -- migration files, their runner and the command line -----------------------

# Migration files are <directory>/<NNNN>_<name>.py: a docstring, the schema classes they use,
# `version = "NNNN"`, `def upgrade(op):` and `def downgrade(op):`, one op call per line. The
# applied ones are recorded in the table tessary_migrations (version, name, the sha256 of the
# file's bytes, applied_at), made on first use. They run on a synchronous connector
# (Sqlite3Connector or MysqlConnector; None: the handle's): on SQLite each migration in one
# BEGIN IMMEDIATE transaction, on MariaDB statement by statement under the named lock
# 'tessary_migrate'. A failing step raises MigrationError naming the migration, the step, its
# operation and the statement; the migration is then not recorded.

@type_check_only
class _MigrationStatus(TypedDict):
    version: str
    name: str
    applied: bool
    """Recorded in tessary_migrations."""
    edited: bool
    """Applied, and its file's checksum differs from the recorded one since."""
    missing: bool
    """Applied, and no file of its version in the folder."""

def make(name: str, models: str | ModuleType | Iterable[type[_DataModel]],
         directory: str | PathLike[str] = "migrations", *, connector: Any = None) -> str | None:
    """Write the next migration file: the steps from the database to `models` (a module's
    name, a module - the model classes it defines - or model classes) and their inverses in
    reverse order as downgrade(). `name` is letters, digits and '_' (else ValueError). Returns
    the file's path, or None when the database already matches (no file). Raises
    MigrationError while migrations of the folder are pending."""

def apply(directory: str | PathLike[str] = "migrations", *, to: str | None = None, connector: Any = None,
          allowDestructive: bool = False, dryRun: bool = False) -> list[str]:
    """Run the pending migrations in version order, up to and including `to` (a version or
    the file's stem), and return their versions. Refuses with MigrationError when an applied
    file was edited since; steps that lose data raise DestructiveChangeError unless
    `allowDestructive`. With `dryRun`, plans them only and returns the versions that would run."""

def rollback(directory: str | PathLike[str] = "migrations", *, steps: int = 1, connector: Any = None,
             allowDestructive: bool = False, dryRun: bool = False) -> list[str]:
    """Run downgrade() of the last `steps` applied migrations, newest first, forget their
    records and return their versions (what would be rolled back, with `dryRun`)."""

def status(directory: str | PathLike[str] = "migrations", *, connector: Any = None) -> list[_MigrationStatus]:
    """Every migration the folder or the database knows, by version."""

def main(argv: list[str] | None = None) -> int:
    """`python -m Tessary.Ext.Migrate <command> [options]` (argv: sys.argv[1:] when None).
    Commands: make NAME --models MODULE, apply [--to VERSION], rollback [--steps N], status,
    plan [--to VERSION] (the statements apply would run). Options: --dir DIR (migrations),
    --url URL (else $TESSARY_DATABASE_URL; the URLs of Tessary.DB.Connector.connect, installed
    on the handle for the run and closed after), --allow-destructive, --dry-run. Returns 0 on
    success, 1 when a migration failed or was refused (the message on stderr), 2 on a usage
    error."""
