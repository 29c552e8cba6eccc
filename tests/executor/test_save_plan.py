"""save() by its cached plan: the statement text and arguments the driver
receives are the general path's to the byte, the plan follows the model class
when its columns or table change, and anything the general path would look up
differently (a subclass, an instance attribute, a column class of Python code,
another metaclass) leaves the save to the general path."""

import datetime
import decimal
import logging
import threading

import pytest

from Tessary.DB.Connector import Sqlite3Connector
from Tessary.DB.DB import DB
from Tessary.Model import Carrack
from Tessary.Model.Carrack import ModelExecutor
from Tessary.Model.DataModel import DataModel, ModelMeta
from Tessary.Model.ModelProperty import AutoIncrement, IntegerProperty, VarcharProperty

from save_plan_support import LOGGER, Upper, declare, sent  # noqa: F401  (a fixture)

pytestmark = pytest.mark.filterwarnings("ignore:Name '.*' ignored for PRIMARY key")

SpWide, SpTimed, SpCustom, SpOwner, SpItem = MODELS = declare("sp")


class General(ModelExecutor):
    """The general path on purpose: a Python subclass is looked up attribute by attribute."""


@pytest.fixture
def tables(backend):
    backend.create(*MODELS)


def quoting(backend):
    return 1 if backend.name == "sqlite" else 0


def cached_texts(model):
    return [text for text, _ in Carrack._savePlan(model)]


def both_ways(model, values, records):
    """Saves the same values by the plan and by the general path: the two
    records of the statement log and the two saved instances."""
    records.clear()
    planned = model.getExecutor().save(model(**values))
    general = General(model).save(model(**values))
    assert len(records) == 2, [r.getMessage() for r in records]
    return records[0], records[1], planned, general


AWARE = datetime.datetime(2026, 1, 2, 3, 4, 5, tzinfo=datetime.timezone.utc)

CASES = [
    pytest.param(SpWide, {"name": "ann", "age": 30, "score": 1.5, "price": decimal.Decimal("9.99"), "active": True},
                 id="every-column"),
    pytest.param(SpWide, {"name": "bob"}, id="defaults-left-to-the-table"),
    pytest.param(SpWide, {"name": "", "age": 0, "score": None, "active": False}, id="falsy-values-and-none"),
    pytest.param(SpTimed, {"at": datetime.datetime(2026, 12, 8, 11, 30, 15, 250), "day": datetime.date(2026, 2, 28),
                           "data": {"k": [1, 2, None], "s": "é"}}, id="datetime-date-json"),
    pytest.param(SpTimed, {"at": datetime.date(2026, 3, 1), "data": "text"}, id="date-in-datetime-str-in-json"),
    pytest.param(SpTimed, {"data": [True, 1.25]}, id="json-only"),
    pytest.param(SpOwner, {"name": "solo"}, id="with-relation-not-carried"),
]


@pytest.mark.parametrize("model, values", CASES)
def test_plan_sends_the_general_paths_text_and_arguments(backend, tables, sent, model, values):
    planned, general, planned_row, general_row = both_ways(model, values, sent)
    assert planned.statement == general.statement
    assert planned.sql == general.sql
    assert planned.params == general.params
    assert type(planned.params) is type(general.params) is tuple
    assert [type(p) for p in planned.params] == [type(p) for p in general.params]
    # Taken by the plan: the text is the one it keeps, for this connector's quoting.
    assert Carrack._savePlan(model) == [(planned.statement, quoting(backend))]
    assert planned_row["id"] == planned.lastrowid and general_row["id"] == general.lastrowid
    assert dict(planned_row, id=None) == dict(general_row, id=None)


def test_quoting_of_each_connector(backend, tables, sent):
    SpItem.getExecutor().save(SpItem(owner_id=1, label="x"))
    expected = {
        "sqlite": "INSERT INTO sp_item ('owner_id','label') values (%s,%s);",
        "mariadb": "INSERT INTO sp_item (sp_item.owner_id,sp_item.label) values (%s,%s);",
    }[backend.name]
    assert sent[-1].statement == expected
    assert Carrack._savePlan(SpItem) == [(expected, quoting(backend))]


def test_each_column_set_has_its_statement(backend, tables, sent):
    sets = [{"name": "a"}, {"name": "b", "age": 1}, {"age": 2}, {"name": "c"}]
    for values in sets:
        planned, general, _, _ = both_ways(SpWide, values, sent)
        assert (planned.statement, planned.params) == (general.statement, general.params)
    texts = cached_texts(SpWide)
    assert len(texts) == 3 and len(set(texts)) == 3
    assert backend.rows("SELECT count(*) FROM sp_wide") == [(8,)]


def test_an_instance_that_already_has_its_key_keeps_it(backend, tables, sent):
    row = SpItem(id=40, label="given")
    assert SpItem.getExecutor().save(row) is row
    assert row["id"] == 40 and sent[-1].params == (40, "given")
    assert backend.rows("SELECT id, label FROM sp_item") == [(40, "given")]


def test_the_same_executor_saves_again_and_then_queries(backend, tables, sent):
    executor = SpItem.getExecutor()
    keys = [executor.save(SpItem(label=str(i)))["id"] for i in range(5)]
    assert keys == [1, 2, 3, 4, 5]
    assert [item["label"] for item in executor.findAllBy(SpItem.id > 3)] == ["3", "4"]
    assert executor.update(SpItem(id=1, owner_id=None, label="one"))["label"] == "one"
    assert backend.rows("SELECT label FROM sp_item WHERE id = 1") == [("one",)]


def test_related_rows_an_instance_carries_are_saved(backend, tables, sent):
    owner = SpOwner(name="o", items=[SpItem(label="a"), SpItem(label="b")])
    saved = SpOwner.getExecutor().save(owner)
    assert saved["id"] == 1
    assert backend.rows("SELECT owner_id, label FROM sp_item ORDER BY id") == [(1, "a"), (1, "b")]
    assert cached_texts(SpOwner)


# --- the general path wherever something is not the package's own --------------------------


def test_a_column_class_of_python_code_in_the_set_takes_the_general_path(backend, tables, sent):
    Upper.calls = 0
    planned, general, _, _ = both_ways(SpCustom, {"code": "ab", "note": "n"}, sent)
    assert planned.params == general.params == ("AB", "n")
    assert Upper.calls == 2 and Carrack._savePlan(SpCustom) == []
    # Without a value for that column the plan applies: nothing of it runs.
    SpCustom.getExecutor().save(SpCustom(note="only"))
    assert Upper.calls == 2 and len(Carrack._savePlan(SpCustom)) == 1


@pytest.mark.parametrize("hook", ["reset", "execute"])
def test_an_instance_attribute_hiding_a_hook_is_called(backend, tables, sent, hook):
    executor = SpItem.getExecutor()
    called = []
    original = getattr(executor, hook)

    def wrapper():
        called.append(hook)
        return original()

    setattr(executor, hook, wrapper)
    executor.save(SpItem(label="w"))
    assert called == [hook] and Carrack._savePlan(SpItem) == []
    assert backend.rows("SELECT label FROM sp_item") == [("w",)]


def test_a_wrapper_on_the_handle_is_called(backend, tables, sent):
    handle = DB.getInstance()
    seen = []
    run = type(handle).execute

    def recording(executor, con=None):
        seen.append(executor.sql.Build())
        return run(handle, executor=executor, con=con)

    handle.execute = recording
    try:
        SpItem.getExecutor().save(SpItem(label="h"))
    finally:
        del handle.__dict__["execute"]
    assert [args for _, args in seen] == [("h",)] and Carrack._savePlan(SpItem) == []


def test_a_pending_query_is_refused_as_before(backend, tables, sent):
    for executor in (SpItem.getExecutor(), General(SpItem)):
        executor.find(SpItem.id)
        with pytest.raises(Exception) as refused:
            executor.save(SpItem(label="p"))
        assert type(refused.value).__name__ != "SystemError"
    assert Carrack._savePlan(SpItem) == []


def test_a_mapping_subclass_is_read_through_its_overrides(backend, tables, sent):
    class Shouting(dict):
        def __getitem__(self, key):
            value = super().__getitem__(key)
            return value.upper() if isinstance(value, str) else value

    SpItem.getExecutor().save(Shouting(label="quiet"))
    assert sent[-1].params == ("QUIET",) and Carrack._savePlan(SpItem) == []


def test_a_connector_subclass_takes_the_general_path(tmp_path, sent):
    class Mine(Sqlite3Connector):
        pass

    connector = Mine(str(tmp_path / "sub.db"))
    handle = DB.getInstance()
    previous = handle.connector
    handle.connector = connector
    try:
        handle.createTables(SpItem)
        assert SpItem.getExecutor().save(SpItem(label="s"))["id"] == 1
        assert Carrack._savePlan(SpItem) == []
    finally:
        handle.connector = previous
        connector.close()


def test_a_metaclass_of_the_application_takes_the_general_path(backend, sent):
    class Meta(ModelMeta):
        pass

    class SpMeta(DataModel, metaclass=Meta):
        tableName = "sp_meta"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        label = VarcharProperty(16, nullable=True)

    backend.create(SpMeta)
    assert SpMeta.getExecutor().save(SpMeta(label="m"))["id"] == 1
    assert Carrack._savePlan(SpMeta) == []


# --- a model class that changes ---------------------------------------------------------------


def fresh_model():
    class SpMoving(DataModel):
        tableName = "sp_moving"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        a = VarcharProperty(16, nullable=True)
        b = VarcharProperty(16, nullable=True)

    return SpMoving


def test_a_column_dropped_from_col_is_dropped_from_the_statement(backend, sent):
    model = fresh_model()
    backend.create(model)
    first, _, _, _ = both_ways(model, {"a": "1", "b": "2"}, sent)
    assert "b" in first.statement
    model.col = model.col[:2]
    planned, general, _, _ = both_ways(model, {"a": "3", "b": "4"}, sent)
    assert "b" not in planned.statement
    assert (planned.statement, planned.params) == (general.statement, general.params) == (planned.statement, ("3",))
    assert cached_texts(model) == [planned.statement]


def test_a_column_added_later_is_written(backend, sent):
    model = fresh_model()
    backend.create(model)
    narrow = model.col
    model.col = narrow[:2]
    both_ways(model, {"a": "1", "b": "2"}, sent)
    model.col = narrow
    planned, general, _, _ = both_ways(model, {"a": "3", "b": "4"}, sent)
    assert planned.params == general.params == ("3", "4")
    assert planned.statement == general.statement
    assert backend.rows("SELECT a, b FROM sp_moving ORDER BY id") == [("1", None), ("1", None), ("3", "4"), ("3", "4")]


def test_a_property_replaced_in_col_is_the_one_converting(backend, sent):
    model = fresh_model()
    backend.create(model)
    both_ways(model, {"a": "x", "b": "y"}, sent)

    class Borrowed(DataModel):
        tableName = "sp_moving"
        a = Upper(16, nullable=True)

    model.col = (model.id, Borrowed.a, model.b)
    Upper.calls = 0
    planned, general, _, _ = both_ways(model, {"a": "x", "b": "y"}, sent)
    assert planned.params == general.params == ("X", "y") and Upper.calls == 2


def test_a_new_table_name_is_used(backend, sent):
    model = fresh_model()
    backend.create(model)
    both_ways(model, {"a": "1"}, sent)
    model.tableName = "sp_moved"

    class Moved(DataModel):
        tableName = "sp_moved"
        id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
        a = VarcharProperty(16, nullable=True)

    backend.create(Moved)
    planned, general, _, _ = both_ways(model, {"a": "2"}, sent)
    assert planned.statement == general.statement and "sp_moved" in planned.statement
    assert backend.rows("SELECT a FROM sp_moved") == [("2",), ("2",)]


def test_a_changed_quoting_gets_its_own_statement(backend, tables, sent):
    connector = DB.getInstance().connector
    SpItem.getExecutor().save(SpItem(label="q"))
    original = connector.con_type
    connector.con_type = 1 - original
    try:
        planned_error = general_error = None
        try:
            SpItem.getExecutor().save(SpItem(label="q"))
        except Exception as error:  # the other connector's column list may not parse here
            planned_error = type(error)
        try:
            General(SpItem).save(SpItem(label="q"))
        except Exception as error:
            general_error = type(error)
    finally:
        connector.con_type = original
    assert planned_error is general_error
    assert sent[-2].statement == sent[-1].statement != sent[0].statement
    assert sorted(quoting for _, quoting in Carrack._savePlan(SpItem)) == [0, 1]


# --- failures are the general path's ------------------------------------------------------------


def test_a_value_the_column_refuses_fails_the_same_way(backend, tables, sent):
    errors = []
    for executor in (SpTimed.getExecutor(), General(SpTimed)):
        with pytest.raises(ValueError) as refused:
            executor.save(SpTimed(at=AWARE))
        errors.append(str(refused.value))
    assert errors[0] == errors[1] and "naive" in errors[0]
    assert backend.rows("SELECT count(*) FROM sp_timed") == [(0,)]


def test_a_duplicate_key_fails_or_updates_as_the_general_path(backend, tables, sent):
    SpItem.getExecutor().save(SpItem(id=7, label="first"))
    outcomes = []
    for executor in (SpItem.getExecutor(), General(SpItem)):
        try:
            outcomes.append(("saved", executor.save(SpItem(id=7, owner_id=None, label="again"))["label"]))
        except Exception as error:
            outcomes.append(("failed", type(error).__name__))
    assert outcomes[0] == outcomes[1]
    # pymysql's IntegrityError makes the save an update of the row; sqlite3's does not.
    assert outcomes[0] == (("saved", "again") if backend.name == "mariadb" else ("failed", "IntegrityError"))


def test_an_executor_made_by_new_alone_is_refused(backend, tables):
    bare = ModelExecutor.__new__(ModelExecutor)
    with pytest.raises(RuntimeError, match="not initialised"):
        bare.save(SpItem(label="n"))


def test_a_closed_connector_fails_with_the_drivers_error(tmp_path, sent):
    connector = Sqlite3Connector(str(tmp_path / "closed.db"))
    handle = DB.getInstance()
    previous = handle.connector
    handle.connector = connector
    try:
        handle.createTables(SpItem)
        SpItem.getExecutor().save(SpItem(label="before"))
        connector.close()
        assert SpItem.getExecutor().save(SpItem(label="after"))["id"] == 2  # a closed connector reopens
    finally:
        handle.connector = previous
        connector.close()


def test_threads_saving_at_once_each_get_their_rows(tmp_path, sent):
    LOGGER.setLevel(logging.WARNING)  # the records are not read here
    connector = Sqlite3Connector(str(tmp_path / "threads.db"))
    handle = DB.getInstance()
    previous = handle.connector
    handle.connector = connector
    failures = []
    try:
        handle.createTables(SpItem, SpWide)

        def work(model, field):
            try:
                for i in range(50):
                    model.getExecutor().save(model(**{field: str(i)}))
            except Exception as error:  # reported below
                failures.append(error)

        threads = [threading.Thread(target=work, args=args) for args in [(SpItem, "label"), (SpWide, "name")] * 2]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert failures == []
        counts = [len(m.getExecutor().findAllBy()) for m in (SpItem, SpWide)]
        assert counts == [100, 100]
    finally:
        handle.connector = previous
        connector.close()


def test_a_model_wider_than_the_plan_takes_the_general_path(backend, sent):
    columns = {f"c{i}": IntegerProperty(nullable=True) for i in range(70)}
    wide = type(DataModel)("SpVeryWide", (DataModel,), {
        "tableName": "sp_very_wide", "id": IntegerProperty(isPrimaryKey=True, default=AutoIncrement), **columns})
    backend.create(wide)
    planned, general, _, _ = both_ways(wide, {"c0": 1, "c69": 69}, sent)
    assert (planned.statement, planned.params) == (general.statement, general.params)
    assert planned.params == (1, 69) and Carrack._savePlan(wide) == []


class Reentering(logging.Handler):
    """Runs `action` once, from inside the statement run of the first save it sees."""

    def __init__(self, action):
        super().__init__(logging.DEBUG)
        self.action, self.done = action, False

    def emit(self, record):
        if not self.done and record.statement.startswith("INSERT"):
            self.done = True
            self.action()


@pytest.mark.parametrize("make", [lambda: SpItem.getExecutor(), lambda: General(SpItem)], ids=["planned", "general"])
@pytest.mark.parametrize("hostile", ["nested-save", "init-again"])
def test_code_run_by_the_statement_log_meets_the_same_executor(backend, tables, sent, make, hostile):
    executor = make()
    actions = {
        "nested-save": lambda: executor.save(SpItem(label="nested")),
        "init-again": lambda: executor.__init__(SpWide),
    }
    handler = Reentering(actions[hostile])
    LOGGER.addHandler(handler)
    try:
        # Both paths tell the first save that its executor moved on while its statement ran.
        with pytest.raises(RuntimeError, match="statement builder was replaced"):
            executor.save(SpItem(label="outer"))
    finally:
        LOGGER.removeHandler(handler)
    assert handler.done
    labels = sorted(label for (label,) in backend.rows("SELECT label FROM sp_item"))
    assert labels == (["nested", "outer"] if hostile == "nested-save" else ["outer"])
