"""The database handle."""

from typing import Any, ContextManager, Generic as Generic, Sequence, TypeVar as TypeVar

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
        connector's own connection, and return what the executor's native process makes of the
        rows (SELECT), the generated key (INSERT) or None. A SELECT whose columns are not the
        model's whole column list hands each row over as a dict of column name to value.
        With AioSqliteConnector or AioMysqlConnector the statement is rendered at the call and
        a coroutine is returned that runs it and resolves to that result."""
    def executeSql(self, text: str, args: Sequence[Any] | None = (), con: Any = None) -> Sequence[Sequence[Any]]:
        """Run SQL text with "%s" placeholders and return the fetched rows (with an asynchronous
        connector: a coroutine resolving to them; without `con`, a pooled connection is used
        and committed)."""
    def createTables(self, *models: type, ifNotExists: bool = False) -> Any:
        """Run `TableGenerator(model).Build()` of each model class through the connector, in
        the order given; with a true `ifNotExists` as "CREATE TABLE IF NOT EXISTS ..." (the
        rest of the text unchanged). Every argument must be a model class (TypeError naming its
        position) and every text is rendered before the first statement runs; a failing
        statement stops the run, the tables before it stay. Returns None; with
        AioSqliteConnector or AioMysqlConnector a coroutine that runs the statements one after
        the other when awaited and resolves to None."""
    def transaction(self) -> ContextManager[Any]:
        """`with DB.getInstance().transaction() as con:` one transaction on the connector's
        connection; committed when the block ends normally, rolled back when it raises. With an
        asynchronous connector: `async with DB.getInstance().transaction() as con:` on a pooled
        connection (an AioTransaction)."""
