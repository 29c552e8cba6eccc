"""The database handle."""

from collections.abc import Awaitable, Generator
from types import TracebackType
from typing import Any, Generic as Generic, Sequence, TypeVar as TypeVar, overload, type_check_only

from Tessary.DB.Connector import AioSqliteConnection
from Tessary.Ext.Migrate import _OperationsOrAwaitable
from Tessary.Model.DataModel import _DataModel

_T = TypeVar("_T")
_Rows = Sequence[Sequence[Any]]

# The handle's calls without a connection run on whichever connector is set, which no static
# type shows: their results are typed as usable either way, as the value itself (synchronous
# connectors) or awaited (asynchronous ones). A connection given picks one of the two.
@type_check_only
class _RowsOrAwaitable(Sequence[Sequence[Any]], Awaitable[_Rows]):
    @overload
    def __getitem__(self, index: int) -> Sequence[Any]: ...
    @overload
    def __getitem__(self, index: slice) -> Sequence[Sequence[Any]]: ...
    def __len__(self) -> int: ...
    def __await__(self) -> Generator[Any, None, _Rows]: ...

@type_check_only
class _NoneOrAwaitable(Awaitable[None]):
    def __await__(self) -> Generator[Any, None, None]: ...

@type_check_only
class _EitherTransaction:
    """Transaction or AioTransaction, as the connector is synchronous or not."""
    def __enter__(self) -> Any: ...
    def __exit__(self, type: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> bool: ...
    async def __aenter__(self) -> Any: ...
    async def __aexit__(self, type: type[BaseException] | None, value: BaseException | None,
                        traceback: TracebackType | None) -> bool: ...

@type_check_only
class _EitherScope:
    """The connector's scope: `with` on a synchronous connector, `async with` on an asynchronous one."""
    def __enter__(self) -> Any: ...
    def __exit__(self, type: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None, /) -> bool: ...
    async def __aenter__(self) -> Any: ...
    async def __aexit__(self, type: type[BaseException] | None, value: BaseException | None,
                        traceback: TracebackType | None, /) -> bool: ...

class DB:
    """The database handle; DB() and DB.getInstance() return the one instance."""

    connector: Any
    """The connector in use; Sqlite3Connector(":memory:") unless another one is set (None restores that).
    Setting anything but a connector raises TypeError and keeps the one in place: a connector is a
    BaseConnector, AioSqliteConnector or AioMysqlConnector, or an object with isAsync, con_type and
    getCon (found on its class or in its own attributes, without reading them)."""
    _connector: Any
    """The same as `connector`."""
    @classmethod
    def getInstance(cls) -> DB: ...
    def execute(self, executor: Any, con: Any = None) -> Any:
        """Run the executor's pending statement (`executor.sql.Build()`) on `con`, else on the
        connector of its model's database (`connectorFor(model)`), and return what the
        executor's native process makes of the rows (SELECT), the generated key (INSERT) or
        None. The statement is written in the SQL of the connector that opened `con` (ValueError
        for a connection of another SQL that no known connector opened). A SELECT whose columns
        are not the model's whole column list hands each row over as a dict of column name to
        value. With AioSqliteConnector or AioMysqlConnector the statement is rendered at the
        call and a coroutine is returned that runs it and resolves to that result."""
    @overload
    def executeSql(self, text: str, args: Sequence[Any] | None = (), *,
                   con: AioSqliteConnection) -> Awaitable[_Rows]: ...
    @overload
    def executeSql(self, text: str, args: Sequence[Any] | None, con: AioSqliteConnection) -> Awaitable[_Rows]: ...
    @overload
    def executeSql(self, text: str, args: Sequence[Any] | None = (), con: None = None) -> _RowsOrAwaitable: ...
    @overload
    def executeSql(self, text: str, args: Sequence[Any] | None = (), con: Any = None) -> Any:
        """Run SQL text with "%s" placeholders and return the fetched rows (with an asynchronous
        connector: a coroutine resolving to them; without `con`, a pooled connection is used
        and committed)."""
    def createTables(self, *models: type[_DataModel], ifNotExists: bool = False) -> _NoneOrAwaitable:
        """Run `TableGenerator(model).Build()` of each model class through the connector, in
        the order given except that a table referenced by a foreign-key constraint comes before
        the table holding the key (on MariaDB a cycle of constraints is closed by ALTER TABLE ...
        ADD after the tables), then every model's `BuildIndexes()`; with a true `ifNotExists` as
        "CREATE TABLE IF NOT EXISTS ..." and "CREATE [UNIQUE] INDEX IF NOT EXISTS ..." (the rest
        of the text unchanged). Every argument must be a model class (TypeError naming its
        position) and every text is rendered before the first statement runs; a failing
        statement stops the run, the tables before it stay. Each model's tables are created on
        the connector of its database (`connectorFor(model)`), in its SQL, one database after
        the other. Returns None; when one of them is AioSqliteConnector or AioMysqlConnector a
        coroutine that runs the statements one after the other when awaited and resolves to None."""
    def register(self, name: str, connector: Any) -> None:
        """Name a further database: models whose class attribute `database` is `name` run their
        statements (executors, Folio, createTables, TableGenerator, seeding) on `connector`.
        Registering a name again replaces its connector; a connector of None removes the name
        (KeyError when it is not registered). TypeError for a name that is not a str or for
        anything but a connector, ValueError for an empty name."""
    def connectorFor(self, target: type[_DataModel] | _DataModel | str) -> Any:
        """The connector the statements of `target` go to: a model class or instance (its
        `database`, else the handle's connector) or a registered database name. KeyError naming
        a database that is not registered; TypeError for a `database` that is not a str."""
    def checkSchema(self, *models: type[_DataModel]) -> _OperationsOrAwaitable:
        """Tessary.Ext.Migrate.diff(*models) on the connector: the operations that would bring
        its database to the schema of the model classes, [] when they agree. Give every
        model of the database (a table no model asks for shows as dropped). Every argument
        must be a model class (TypeError naming its position). With AioSqliteConnector or
        AioMysqlConnector a coroutine resolving to the list."""
    def scope(self) -> _EitherScope:
        """`with DB.getInstance().scope():` the connector's scope(): one pooled connection lent to
        the calling thread for the block (`async with` on an asynchronous connector)."""
    def transaction(self) -> _EitherTransaction:
        """`with DB.getInstance().transaction() as con:` one transaction on the connector's
        connection; committed when the block ends normally, rolled back when it raises. With an
        asynchronous connector: `async with DB.getInstance().transaction() as con:` on a pooled
        connection (an AioTransaction)."""
