"""Bad input at every public entry point: wrong types, wrong counts, None,
huge integers, unknown keywords. Each case names the exception and, where
the interpreter has a standard text for it, the whole message."""

import pytest

from Tessary.DB.Connector import (
    AioMysqlConnector,
    AioSqliteConnector,
    MysqlConnector,
    Sqlite3Connector,
    Transaction,
)
from Tessary.DB.DB import DB
from Tessary.DB.Generator import (
    CustomColAnnounce,
    CustomSqlGenerator,
    FunctionCall,
    InOperatorGenerator,
    JoinCell,
    Q,
    QueryGroup,
    SetSQLError,
    SqlGenerator,
    SqlInStanceError,
    TableGenerator,
    WhereSQLError,
    buildDefault,
)
from Tessary.Error.DBError import UpdateWithOutPrimaryKeyError
from Tessary.Ext.Dict import DictPlus
from Tessary.Ext.Folio import Folio, Page
from Tessary.Ext.Seeder import GeneratorRunner, RunnerTask, create_task, data_task
from Tessary.Model.Carrack import AsyncModelExecutor, BaseModelExecutor, ModelExecutor
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import FilterListCell, ForeignKey, ForeignType, IntegerProperty

from reliability_support import installed

HUGE = 2 ** 31
HUGE_NEGATIVE = -2 ** 31 - 1
CELL = "Tessary.Model.ModelProperty.FilterListCell"
PROPERTY = "Tessary.Model.ModelProperty.BaseProperty"
INSTANCE = "Tessary.Model.DataModel.ModelInstance"
INSTANCE_LIST = "Tessary.Model.DataModel.InstanceList"
NOT_INT = "an integer is required"
TOO_LARGE = "value too large to convert to int"
FROM_ASSERTION = "Form仅支持字符串或者DataModel子类"


def takes(func, kind, count, given):
    return f"{func}() takes {kind} {count} positional argument{'' if count == 1 else 's'} ({given} given)"


def unexpected(func, name):
    return f"{func}() got an unexpected keyword argument '{name}'"


def wrong_type(arg, expected, got):
    return f"Argument '{arg}' has incorrect type (expected {expected}, got {got})"


def cannot_convert(got, expected):
    return f"Cannot convert {got} to {expected}"


def case(name, call, error, message=None):
    return pytest.param(call, error, message, id=name)


# `call(m)` gets the models (m.Account, m.Post, ...) and makes the call.
STATEMENT_BUILDER = [
    case("SqlGenerator-args", lambda m: SqlGenerator(1), TypeError, takes("__init__", "exactly", 0, 1)),
    case("SqlGenerator-keyword", lambda m: SqlGenerator(x=1), TypeError, unexpected("__init__", "x")),
    case("select-twice", lambda m: SqlGenerator().select().select(), SqlInStanceError),
    case("select-int-column", lambda m: SqlGenerator().select(1).From(m.Account).Build(), TypeError,
         cannot_convert("int", PROPERTY)),
    case("select-str-column", lambda m: SqlGenerator().select("id").From(m.Account).Build(), TypeError,
         cannot_convert("str", PROPERTY)),
    case("From-None", lambda m: SqlGenerator().select().From(None), AssertionError, FROM_ASSERTION),
    case("From-int", lambda m: SqlGenerator().select().From(3), AssertionError, FROM_ASSERTION),
    case("From-bytes", lambda m: SqlGenerator().select().From(b"t"), AssertionError, FROM_ASSERTION),
    case("where-int", lambda m: SqlGenerator().select().where(1), TypeError, wrong_type("args", CELL, "int")),
    case("where-str", lambda m: SqlGenerator().select().where("id = 1"), TypeError,
         wrong_type("args", CELL, "str")),
    case("where-count", lambda m: SqlGenerator().select().where(None, None), TypeError,
         takes("where", "at most", 1, 2)),
    case("where-before-kind", lambda m: SqlGenerator().where(m.Account.id == 1), WhereSQLError),
    case("Limit-None", lambda m: SqlGenerator().select().Limit(None, 0), TypeError, NOT_INT),
    case("Limit-float", lambda m: SqlGenerator().select().Limit(1.5, 0), TypeError, NOT_INT),
    case("Limit-str", lambda m: SqlGenerator().select().Limit("10", 0), TypeError, NOT_INT),
    case("Limit-huge", lambda m: SqlGenerator().select().Limit(HUGE, 0), OverflowError, TOO_LARGE),
    case("Limit-huge-offset", lambda m: SqlGenerator().select().Limit(1, HUGE_NEGATIVE), OverflowError, TOO_LARGE),
    case("Limit-count", lambda m: SqlGenerator().select().Limit(1), TypeError, takes("Limit", "exactly", 2, 1)),
    case("orderBy-keyword", lambda m: SqlGenerator().orderBy(by="id"), TypeError, unexpected("orderBy", "by")),
    case("orderBy-int-built", lambda m: SqlGenerator.build_order(("a", 1)), TypeError,
         "orderBy() takes columns, asc()/desc() terms, expressions or SQL text, got int"),
    case("build_order-int", lambda m: SqlGenerator.build_order(1), TypeError, wrong_type("orderList", "tuple", "int")),
    case("insert-None", lambda m: SqlGenerator().insert(None), AssertionError, FROM_ASSERTION),
    case("insert-after-select", lambda m: SqlGenerator().select().insert("t"), SqlInStanceError),
    case("values-int", lambda m: SqlGenerator().insert("t").values(1).Build(), TypeError, "Expected dict, got int"),
    case("values-tuple", lambda m: SqlGenerator().insert("t").values(("col", 1)).Build(), TypeError,
         "Expected dict, got tuple"),
    case("values-col-not-property", lambda m: SqlGenerator().insert("t").values({"col": 1, "value": 2}).Build(),
         AttributeError),
    case("set-before-kind", lambda m: SqlGenerator().set({"name": "a", "value": 1}), SetSQLError),
    case("set-int", lambda m: SqlGenerator().update("t").set(1).Build(), TypeError, "Expected dict, got int"),
    case("set-no-value", lambda m: SqlGenerator().update("t").set({"name": "a"}).Build(), KeyError),
    case("set-name-int", lambda m: SqlGenerator().update("t").set({"name": 1, "value": 2}).Build(), TypeError,
         'can only concatenate str (not "int") to str'),
    case("update-keyword", lambda m: SqlGenerator().update(table="t"), TypeError, unexpected("update", "table")),
    case("delete-float", lambda m: SqlGenerator().delete(1.5), AssertionError, FROM_ASSERTION),
    case("delete-count", lambda m: SqlGenerator().delete(), TypeError, takes("delete", "exactly", 1, 0)),
    case("join-None", lambda m: SqlGenerator().select().join(None), AttributeError),
    case("join-kind-str", lambda m: SqlGenerator().select().join(m.Account.posts, "LEFT"), TypeError, NOT_INT),
    case("join-kind-huge", lambda m: SqlGenerator().select().join(m.Account.posts, HUGE), OverflowError, TOO_LARGE),
    case("join-kind-unknown", lambda m: SqlGenerator().select().From(m.Account).join(m.Account.posts, 9).Build(),
         TypeError, 'can only concatenate str (not "NoneType") to str'),
    case("leftJoin-count", lambda m: SqlGenerator().leftJoin(m.Account.posts, 1), TypeError,
         takes("leftJoin", "exactly", 1, 2)),
    case("build_where-int", lambda m: SqlGenerator.build_where(1), TypeError, wrong_type("cell", CELL, "int")),
    case("_getWhereCellStr-args", lambda m: SqlGenerator._getWhereCellStr(FilterListCell("a"), ()), TypeError,
         wrong_type("args", "list", "tuple")),
    case("lone-value-cell", lambda m: SqlGenerator.build_where(FilterListCell(1)), SqlInStanceError),
    case("Build-without-From", lambda m: SqlGenerator().select(m.Account.id).Build(), TypeError),
]

FRAGMENTS = [
    case("JoinCell-count", lambda m: JoinCell(), TypeError, takes("__init__", "at least", 1, 0)),
    case("JoinCell-kind-str", lambda m: JoinCell(m.Account.posts, "x"), TypeError, NOT_INT),
    case("JoinCell-kind-huge", lambda m: JoinCell(m.Account.posts, -HUGE - 1), OverflowError, TOO_LARGE),
    case("QueryGroup-int", lambda m: QueryGroup(1), TypeError, wrong_type("query", CELL, "int")),
    case("QueryGroup-count", lambda m: QueryGroup(), TypeError, takes("__init__", "exactly", 1, 0)),
    case("Q-str", lambda m: Q("a = 1"), TypeError, wrong_type("query", CELL, "str")),
    case("Q-count", lambda m: Q(None, None), TypeError, takes("Q", "exactly", 1, 2)),
    case("In-property-int", lambda m: InOperatorGenerator([1], 1), TypeError, wrong_type("pro", PROPERTY, "int")),
    case("In-values-None", lambda m: InOperatorGenerator(None, m.Account.id).Build(), TypeError,
         "object of type 'NoneType' has no len()"),
    case("In-value-tuple", lambda m: InOperatorGenerator([(1, 2)], m.Account.id).Build(), TypeError),
    case("In-value-dict", lambda m: InOperatorGenerator([{}], m.Account.id).Build(), TypeError),
    case("In-property-None-built", lambda m: InOperatorGenerator([1], None).Build(), AttributeError),
    case("In-count", lambda m: m.Account.id.In([1], [2]), TypeError, takes("In", "exactly", 1, 2)),
    case("In-not-iterable", lambda m: m.Account.id.In(5), TypeError, "'int' object is not iterable"),
    case("CustomSql-int", lambda m: CustomSqlGenerator(1, ()), TypeError, wrong_type("sql", "str", "int")),
    case("CustomSql-list-args", lambda m: CustomSqlGenerator("x", [1]), TypeError, wrong_type("args", "tuple", "list")),
    case("CustomSql-count", lambda m: CustomSqlGenerator("x"), TypeError, takes("__init__", "exactly", 2, 1)),
    case("FunctionCall-name-int", lambda m: FunctionCall(1), TypeError, wrong_type("func_name", "str", "int")),
    case("FunctionCall-name-None-built", lambda m: FunctionCall(None).Build(), TypeError,
         'can only concatenate str (not "NoneType") to str'),
    case("FunctionCall-count", lambda m: FunctionCall(), TypeError, takes("__init__", "at least", 1, 0)),
    case("CustomColAnnounce-int", lambda m: CustomColAnnounce(1), TypeError, wrong_type("announce", "str", "int")),
    case("TableGenerator-None-built", lambda m: TableGenerator(None).Build(), AttributeError),
    case("TableGenerator-count", lambda m: TableGenerator(m.Account, 1), TypeError,
         takes("__init__", "exactly", 1, 2)),
    case("build_col-None", lambda m: TableGenerator.build_col(None), TypeError, wrong_type("col", PROPERTY, "NoneType")),
    case("buildDefault-int", lambda m: buildDefault(1), TypeError, wrong_type("col", PROPERTY, "int")),
]

MODEL_LAYER = [
    case("FilterListCell-col-int", lambda m: FilterListCell(1, 2), TypeError, wrong_type("col", PROPERTY, "int")),
    case("addCell-int", lambda m: FilterListCell(1).addCell(1, 0), TypeError, wrong_type("cell", CELL, "int")),
    case("addCell-code-str", lambda m: FilterListCell(1).addCell(FilterListCell(2), "x"), TypeError, NOT_INT),
    case("addCell-code-huge", lambda m: FilterListCell(1).addCell(FilterListCell(2), HUGE), OverflowError, TOO_LARGE),
    case("addCell-itself", lambda m: (FilterListCell(1).addCell(FilterListCell(2), 0).addCell(FilterListCell(3), 0),
                                      (lambda c: c.addCell(c, 0))(FilterListCell(4))), ValueError),
    case("cell-and-int", lambda m: FilterListCell(1) & 1, TypeError),
    case("ForeignKey-kind", lambda m: ForeignKey(7, "X", bindCol="id", targetBindCol="id"), ValueError),
    case("ForeignKey-target-int", lambda m: ForeignKey(ForeignType.ONE_TO_MANY, 1, bindCol="id", targetBindCol="id"),
         TypeError),
    case("property-extra-int", lambda m: IntegerProperty(extra=1), TypeError, wrong_type("extra", "str", "int")),
    case("tableName-int", lambda m: type("BadTable", (DataModel,), {"tableName": 1}), TypeError),
    case("instance-two-rows", lambda m: m.Account(1, 2), TypeError, takes("RelAccount", "at most", 1, 2)),
    case("instance-row-too-long", lambda m: m.Account([1] * 50), ValueError),
    case("instance-not-iterable", lambda m: m.Account(5), TypeError, "'int' object is not iterable"),
    case("getExecutor-count", lambda m: m.Account.getExecutor(1, 2), TypeError, takes("getExecutor", "at most", 1, 2)),
]

EXECUTORS = [
    case("executor-count", lambda m: BaseModelExecutor(), TypeError, takes("__init__", "at least", 1, 0)),
    case("executor-too-many", lambda m: ModelExecutor(m.Account, None, 1), TypeError,
         takes("__init__", "at most", 2, 3)),
    case("executor-keyword", lambda m: ModelExecutor(m.Account, con=1), TypeError, unexpected("__init__", "con")),
    case("executor-model-None", lambda m: ModelExecutor(None), AssertionError, FROM_ASSERTION),
    case("executor-model-int", lambda m: AsyncModelExecutor(7), AssertionError, FROM_ASSERTION),
    case("findAllBy-int", lambda m: ModelExecutor(m.Account).findAllBy(1), TypeError,
         wrong_type("Filter", CELL, "int")),
    case("findAllBy-keyword", lambda m: ModelExecutor(m.Account).findAllBy(Filter=42), TypeError,
         wrong_type("Filter", CELL, "int")),
    case("findAllBy-count", lambda m: ModelExecutor(m.Account).findAllBy(None, None), TypeError,
         takes("findAllBy", "at most", 1, 2)),
    case("findOneBy-str", lambda m: ModelExecutor(m.Account).findOneBy("id=1"), TypeError,
         wrong_type("Filter", CELL, "str")),
    case("findAnyMatch-int", lambda m: ModelExecutor(m.Account).findAnyMatch(1), TypeError,
         cannot_convert("int", INSTANCE)),
    case("findAnyMatch-limit-None", lambda m: ModelExecutor(m.Account).findAnyMatch(m.Account(), None), TypeError,
         NOT_INT),
    case("findAnyMatch-offset-huge", lambda m: ModelExecutor(m.Account).findAnyMatch(m.Account(), 1, HUGE),
         OverflowError, TOO_LARGE),
    case("findAnyMatch-None", lambda m: ModelExecutor(m.Account).findAnyMatch(None), AttributeError),
    case("find-keyword", lambda m: ModelExecutor(m.Account).find(col=m.Account.id), TypeError,
         unexpected("find", "col")),
    case("By-int", lambda m: ModelExecutor(m.Account).find(m.Account.id).By(1), TypeError,
         wrong_type("Filter", CELL, "int")),
    case("By-fresh", lambda m: ModelExecutor(m.Account).By(m.Account.id == 1), WhereSQLError),
    case("delete-nothing", lambda m: ModelExecutor(m.Account).delete(), TypeError,
         "'NoneType' object is not subscriptable"),
    case("delete-filter-int", lambda m: ModelExecutor(m.Account).delete(None, 1), TypeError,
         wrong_type("args", CELL, "int")),
    case("save-None-base", lambda m: BaseModelExecutor(m.Account).save(None), TypeError,
         wrong_type("instance", INSTANCE, "NoneType")),
    case("update-dict", lambda m: ModelExecutor(m.Account).update({"id": 1}), TypeError,
         wrong_type("instance", INSTANCE, "dict")),
    case("update-no-key", lambda m: ModelExecutor(m.Account).update(m.Account(id=0)), UpdateWithOutPrimaryKeyError),
    case("save-count", lambda m: ModelExecutor(m.Account).save(), TypeError, takes("save", "exactly", 1, 0)),
    case("save-not-mapping", lambda m: ModelExecutor(m.Account).save(1), TypeError),
    case("editSql-int", lambda m: ModelExecutor(m.Account).editSql(1), TypeError, "'int' object is not callable"),
    case("editSql-count", lambda m: ModelExecutor(m.Account).editSql(), TypeError, takes("editSql", "exactly", 1, 0)),
    case("sql-assign-int", lambda m: setattr(ModelExecutor(m.Account), "sql", 1), TypeError),
    case("findForeignKey-int", lambda m: ModelExecutor(m.Account).findForeignKey(1), TypeError,
         wrong_type("instance", INSTANCE, "int")),
    case("findForeignKey-path-list", lambda m: ModelExecutor(m.Account).findForeignKey(m.Account(), True, []),
         TypeError, wrong_type("path", "dict", "list")),
    case("findForeignKey-clevel-str", lambda m: ModelExecutor(m.Account).findForeignKey(m.Account(), True, {}, "1"),
         TypeError, NOT_INT),
    case("findForeignKey-level-huge", lambda m: ModelExecutor(m.Account).findForeignKey(m.Account(), True, {}, 1, HUGE),
         OverflowError, TOO_LARGE),
    case("findForeignKey-before-int", lambda m: ModelExecutor(m.Account).findForeignKey(m.Account(), True, {}, 1, 3, 1),
         TypeError, wrong_type("before", "str", "int")),
    case("findListForeignKey-list", lambda m: ModelExecutor(m.Account).findListForeignKey([m.Account()]), TypeError,
         wrong_type("instances", INSTANCE_LIST, "list")),
    case("_saveOTM-count", lambda m: ModelExecutor(m.Account)._saveOTM(1), TypeError,
         takes("_saveOTM", "exactly", 2, 1)),
    case("async-findOneBy-int", lambda m: AsyncModelExecutor(m.Account).findOneBy(1), TypeError,
         wrong_type("Filter", CELL, "int")),
    case("async-findForeignKey-int", lambda m: AsyncModelExecutor(m.Account).findForeignKey(1), TypeError,
         wrong_type("instance", INSTANCE, "int")),
    case("async-findForeignKey-count", lambda m: AsyncModelExecutor(m.Account).findForeignKey(m.Account(), 0, {}, 1, 3,
                                                                                              None, 7),
         TypeError, takes("findForeignKey", "at most", 6, 7)),
    case("async-findListForeignKey-int", lambda m: AsyncModelExecutor(m.Account).findListForeignKey(1), TypeError,
         wrong_type("instances", INSTANCE_LIST, "int")),
    case("async-save-count", lambda m: AsyncModelExecutor(m.Account).save(), TypeError, takes("save", "exactly", 1, 0)),
    case("async-update-count", lambda m: AsyncModelExecutor(m.Account).update(1, None, 3), TypeError,
         takes("update", "at most", 2, 3)),
]

PAGING = [
    case("Folio-count", lambda m: Folio(), TypeError, takes("Folio", "at least", 1, 0)),
    case("Folio-too-many", lambda m: Folio(m.Account, 1, 2, 3, 4), TypeError, takes("Folio", "at most", 4, 5)),
    case("Folio-keyword", lambda m: Folio(m.Account, size=3), TypeError, unexpected("Folio", "size")),
    case("Folio-model-None", lambda m: Folio(None), AttributeError),
    case("Folio-page-None", lambda m: Folio(m.Account, None), TypeError, NOT_INT),
    case("Folio-page-str", lambda m: Folio(m.Account, "2"), TypeError, NOT_INT),
    case("Folio-page-float", lambda m: Folio(m.Account, 2.0), TypeError, NOT_INT),
    case("Folio-page-huge", lambda m: Folio(m.Account, HUGE), OverflowError, TOO_LARGE),
    case("Folio-size-huge", lambda m: Folio(m.Account, 1, HUGE_NEGATIVE), OverflowError, TOO_LARGE),
    case("Folio-page-zero", lambda m: Folio(m.Account, 0), AssertionError, "page参数必须为大于零的整数"),
    case("Folio-size-negative", lambda m: Folio(m.Account, 1, -1), AssertionError, "pageSize参数必须为大于零的整数"),
    case("Folio-both-zero", lambda m: Folio(m.Account, 0, 0), AssertionError, "pageSize参数必须为大于零的整数"),
    case("filter-int", lambda m: Folio(m.Account).filter(1), TypeError, wrong_type("args", CELL, "int")),
    case("filter-twice", lambda m: Folio(m.Account).filter(None).filter(None), SqlInStanceError),
    case("setPage-count", lambda m: Folio(m.Account).setPage(), TypeError, takes("setPage", "at least", 1, 0)),
    case("setPage-str", lambda m: Folio(m.Account).setPage("2"), TypeError, NOT_INT),
    case("setPage-huge", lambda m: Folio(m.Account).setPage(HUGE), OverflowError, TOO_LARGE),
    case("setPage-size-None", lambda m: Folio(m.Account).setPage(1, None), TypeError, NOT_INT),
    case("orderBy-keyword-folio", lambda m: Folio(m.Account).orderBy(by="x"), TypeError, unexpected("orderBy", "by")),
    case("editSql-folio-int", lambda m: Folio(m.Account).editSql(3), TypeError, "'int' object is not callable"),
    case("findForeign-args", lambda m: Folio(m.Account).findForeign(True), TypeError,
         takes("findForeign", "exactly", 0, 1)),
    case("Page-count", lambda m: Page(1), TypeError, takes("__init__", "at least", 2, 1)),
    case("Page-content-tuple", lambda m: Page(1, 10, content=()), TypeError, wrong_type("content", "list", "tuple")),
    case("Page-total-str", lambda m: Page(1, 10, total="0"), TypeError, NOT_INT),
    case("Page-page-huge", lambda m: Page(HUGE, 10), OverflowError, TOO_LARGE),
    case("Page-keyword", lambda m: Page(1, 10, rows=[]), TypeError, unexpected("__init__", "rows")),
]

SEEDING = [
    # Each fails before the task reaches the registry (checked in test_seeding_failures_register_nothing).
    case("data_task-count-bool", lambda m: data_task(m.Account, True), TypeError,
         wrong_type("count", "int", "bool")),
    case("data_task-count-str", lambda m: data_task(count="3"), TypeError, wrong_type("count", "int", "str")),
    case("data_task-count-float", lambda m: data_task(count=3.0), TypeError, wrong_type("count", "int", "float")),
    case("data_task-too-many", lambda m: data_task(m.Account, 1, "g", 4), TypeError,
         takes("data_task", "at most", 3, 4)),
    case("data_task-keyword", lambda m: data_task(models=m.Account), TypeError, unexpected("data_task", "models")),
    case("data_task-count-None-applied", lambda m: data_task(m.Account, None)(lambda time: None), TypeError, NOT_INT),
    case("data_task-count-huge-applied", lambda m: data_task(m.Account, HUGE)(lambda time: None), OverflowError,
         TOO_LARGE),
    case("inner-count", lambda m: data_task(m.Account)(), TypeError, takes("inner", "exactly", 1, 0)),
    case("create_task-count", lambda m: create_task(), TypeError, takes("create_task", "at least", 1, 0)),
    case("create_task-count-str", lambda m: create_task(lambda time: None, m.Account, "3"), TypeError, NOT_INT),
    case("create_task-count-None", lambda m: create_task(lambda time: None, m.Account, None), TypeError, NOT_INT),
    case("create_task-group-unhashable", lambda m: create_task(lambda time: None, m.Account, 1, ["g"]), TypeError),
    case("RunnerTask-count", lambda m: RunnerTask(m.Account, 1), TypeError, takes("__init__", "exactly", 3, 2)),
    case("RunnerTask-count-huge", lambda m: RunnerTask(m.Account, -HUGE - 1, None), OverflowError, TOO_LARGE),
    case("RunnerTask-model-from-int", lambda m: RunnerTask(None, 1, lambda time: 5).model, TypeError,
         cannot_convert("int", INSTANCE)),
    case("RunnerTask-generator-None", lambda m: RunnerTask(None, 1, None).model, TypeError,
         "'NoneType' object is not callable"),
    case("GeneratorRunner-count", lambda m: GeneratorRunner(None, None), TypeError,
         takes("__init__", "at most", 1, 2)),
    case("run-args", lambda m: GeneratorRunner().run(1), TypeError, takes("run", "exactly", 0, 1)),
    case("arun-args", lambda m: GeneratorRunner().arun(1), TypeError, takes("arun", "exactly", 0, 1)),
    case("run_group-keyword", lambda m: GeneratorRunner().run_group(group="g"), TypeError,
         unexpected("run_group", "group")),
]

DICT_AND_HANDLE = [
    case("DictPlus-not-mapping", lambda m: DictPlus(5), TypeError, "'int' object is not iterable"),
    case("DictPlus-missing", lambda m: DictPlus(a=1).b, AttributeError,
         "'Tessary.Ext.Dict.DictPlus' object has no attribute 'b'"),
    case("DictPlus-setattr-int-name", lambda m: DictPlus().__setattr__(1, 2), TypeError),
    case("DictPlus-delattr", lambda m: delattr(DictPlus(x=1), "x"), AttributeError),
    case("DB-args", lambda m: DB(1), TypeError, "DB() takes no arguments"),
    case("execute-int", lambda m: DB.getInstance().execute(1), TypeError,
         wrong_type("executor", "Tessary.Model.Carrack.BaseModelExecutor", "int")),
    case("execute-count", lambda m: DB.getInstance().execute(), TypeError, takes("execute", "at least", 1, 0)),
    case("executeSql-bytes", lambda m: DB.getInstance().executeSql(b"SELECT 1"), TypeError,
         wrong_type("text", "str", "bytes")),
    case("executeSql-bad-args", lambda m: DB.getInstance().executeSql("SELECT %s", 5), Exception),
    case("executeSql-con-int", lambda m: DB.getInstance().executeSql("SELECT 1", (), 1), AttributeError),
    case("transaction-args", lambda m: DB.getInstance().transaction(1), TypeError, takes("transaction", "exactly", 0, 1)),
    case("Sqlite3Connector-count", lambda m: Sqlite3Connector("a", "b"), TypeError, takes("__init__", "at most", 1, 2)),
    case("Sqlite3Connector-path-None", lambda m: Sqlite3Connector(None), TypeError,
         "expected str, bytes or os.PathLike object, not NoneType"),
    case("Sqlite3Connector-path-int", lambda m: Sqlite3Connector(3), TypeError,
         "expected str, bytes or os.PathLike object, not int"),
    case("MysqlConnector-port-str", lambda m: MysqlConnector(port="3306"), TypeError, NOT_INT),
    case("MysqlConnector-port-huge", lambda m: MysqlConnector(port=HUGE), OverflowError, TOO_LARGE),
    case("MysqlConnector-keyword", lambda m: MysqlConnector(db="x"), TypeError, unexpected("__init__", "db")),
    case("query-int", lambda m: Sqlite3Connector().query(1), TypeError, wrong_type("sql", "str", "int")),
    case("translate-bytes", lambda m: Sqlite3Connector().translate(b"x"), TypeError, wrong_type("sql", "str", "bytes")),
    case("Transaction-int", lambda m: Transaction(1), TypeError,
         wrong_type("connector", "Tessary.DB.Connector.BaseConnector", "int")),
    case("AioSqlite-path-int", lambda m: AioSqliteConnector(1), TypeError, wrong_type("path", "str", "int")),
    case("AioSqlite-maxsize-zero", lambda m: AioSqliteConnector(":memory:", 0), ValueError),
    case("AioSqlite-maxsize-huge", lambda m: AioSqliteConnector(":memory:", HUGE), OverflowError, TOO_LARGE),
    case("AioMysql-sizes", lambda m: AioMysqlConnector(minsize=5, maxsize=1), ValueError),
    case("AioMysql-minsize-str", lambda m: AioMysqlConnector(minsize="1"), TypeError, NOT_INT),
]


@pytest.fixture(autouse=True)
def private_database():
    """Whatever a case reaches runs against an empty private database."""
    connector = Sqlite3Connector(":memory:")
    with installed(connector):
        yield
    connector.close()


@pytest.mark.filterwarnings("ignore:coroutine .* was never awaited:RuntimeWarning")
@pytest.mark.parametrize("call, error, message",
                         STATEMENT_BUILDER + FRAGMENTS + MODEL_LAYER + EXECUTORS + PAGING + SEEDING + DICT_AND_HANDLE)
def test_bad_input(models, call, error, message):
    with pytest.raises(error) as raised:
        call(models)
    if message is not None:
        assert str(raised.value) == message


def test_catalogue_names_are_unique():
    ids = [p.id for p in STATEMENT_BUILDER + FRAGMENTS + MODEL_LAYER + EXECUTORS + PAGING + SEEDING + DICT_AND_HANDLE]
    assert len(ids) == len(set(ids))
