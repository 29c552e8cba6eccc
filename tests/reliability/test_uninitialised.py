"""Objects of the package's C types made with `__new__` whose `__init__`
never ran. A sweep over every such type, one child interpreter each
(uninitialised_sweep.py), calls every method, property and slot and requires
an ordinary exit; the cases below name the exception of the objects whose
fields only __init__ fills, and of the code that is handed one of them."""

import asyncio
import subprocess
import sys
from pathlib import Path

import pytest

from Tessary.DB.Connector import AioMysqlConnector, AioSqliteConnector, AioTransaction, Sqlite3Connector, Transaction
from Tessary.DB.DB import DB
from Tessary.Ext.Folio import Folio, _Folio
from Tessary.Ext.Seeder import GeneratorRunner, RunnerTask, data_task
from Tessary.Model.Carrack import AsyncModelExecutor, BaseModelExecutor, ModelExecutor

import uninitialised_sweep
from reliability_support import HANG_GUARD, installed

SCRIPT = Path(__file__).with_name("uninitialised_sweep.py")
TYPES = sorted(uninitialised_sweep.extension_types())


def not_initialised(name):
    return f"^{name} object is not initialised: call __init__ first$"


@pytest.mark.parametrize("module, qualname", TYPES, ids=[q for _, q in TYPES])
def test_every_method_of_an_uninitialised_object_raises_or_answers(module, qualname):
    child = subprocess.run([sys.executable, str(SCRIPT), module, qualname], capture_output=True, text=True,
                           timeout=HANG_GUARD)
    assert child.returncode == 0, child.stderr[-3000:]
    assert child.stdout.startswith(f"{qualname}: "), child.stdout


def test_the_sweep_finds_every_type_of_every_module():
    names = {q for _, q in TYPES}
    expected = {"BaseModelExecutor", "ModelExecutor", "AsyncModelExecutor", "_Folio", "Page", "RunnerTask",
                "GeneratorRunner", "AioSqliteConnector", "AioMysqlConnector", "AioTransaction", "Transaction",
                "Sqlite3Connector", "MysqlConnector", "BaseConnector", "DB", "SqlGenerator", "TableGenerator",
                "FilterListCell", "BaseProperty", "ForeignKey", "ModelInstance", "InstanceList", "DictPlus",
                "Coroutine", "_ModelInfo", "AioSqliteConnection"}
    assert expected <= names
    assert {m for m, _ in TYPES} == set(uninitialised_sweep.MODULES)


def bare(cls):
    return cls.__new__(cls)


class Python(ModelExecutor):
    pass


CALLS = [
    pytest.param(lambda m: bare(ModelExecutor).findAllBy(), "ModelExecutor", id="ModelExecutor.findAllBy"),
    pytest.param(lambda m: bare(ModelExecutor).findOneBy(None), "ModelExecutor", id="ModelExecutor.findOneBy"),
    pytest.param(lambda m: bare(ModelExecutor).findAnyMatch(m.Account(id=1)), "ModelExecutor",
                 id="ModelExecutor.findAnyMatch"),
    pytest.param(lambda m: bare(ModelExecutor).find(m.Account.id), "ModelExecutor", id="ModelExecutor.find"),
    pytest.param(lambda m: bare(ModelExecutor).By(None), "ModelExecutor", id="ModelExecutor.By"),
    pytest.param(lambda m: bare(ModelExecutor).save(m.Account(email="a")), "ModelExecutor", id="ModelExecutor.save"),
    pytest.param(lambda m: bare(ModelExecutor).update(m.Account(id=1)), "ModelExecutor", id="ModelExecutor.update"),
    pytest.param(lambda m: bare(ModelExecutor).delete(m.Account(id=1)), "ModelExecutor", id="ModelExecutor.delete"),
    pytest.param(lambda m: bare(ModelExecutor).findForeignKey(m.Account(id=1)), "ModelExecutor",
                 id="ModelExecutor.findForeignKey"),
    pytest.param(lambda m: bare(ModelExecutor).execute(), "ModelExecutor", id="ModelExecutor.execute"),
    pytest.param(lambda m: bare(ModelExecutor).sql, "ModelExecutor", id="ModelExecutor.sql"),
    pytest.param(lambda m: ModelExecutor.__new__(Python).reset(), "Python", id="subclass.reset"),
    pytest.param(lambda m: bare(BaseModelExecutor).findAnyMatch(None), "BaseModelExecutor",
                 id="BaseModelExecutor.findAnyMatch"),
    pytest.param(lambda m: bare(BaseModelExecutor).editSql(print), "BaseModelExecutor",
                 id="BaseModelExecutor.editSql"),
    pytest.param(lambda m: bare(AsyncModelExecutor).save(m.Account(email="a")), "AsyncModelExecutor",
                 id="AsyncModelExecutor.save"),
    pytest.param(lambda m: bare(AsyncModelExecutor).findOneBy(), "AsyncModelExecutor",
                 id="AsyncModelExecutor.findOneBy"),
    pytest.param(lambda m: bare(_Folio).filter(), "_Folio", id="_Folio.filter"),
    pytest.param(lambda m: bare(_Folio).editSql(print), "_Folio", id="_Folio.editSql"),
    pytest.param(lambda m: bare(_Folio).execute(), "_Folio", id="_Folio.execute"),
    pytest.param(lambda m: bare(AioSqliteConnector).autoFiledAnnounce(m.Account.id), "AioSqliteConnector",
                 id="AioSqliteConnector.autoFiledAnnounce"),
    pytest.param(lambda m: bare(AioMysqlConnector).close(), "AioMysqlConnector", id="AioMysqlConnector.close"),
    pytest.param(lambda m: bare(AioMysqlConnector).releaseCon(None), "AioMysqlConnector",
                 id="AioMysqlConnector.releaseCon"),
    pytest.param(lambda m: bare(AioSqliteConnector).getCon(), "AioSqliteConnector", id="AioSqliteConnector.getCon"),
    pytest.param(lambda m: bare(RunnerTask).model, "RunnerTask", id="RunnerTask.model"),
    pytest.param(lambda m: bare(Transaction).__enter__(), "Transaction", id="Transaction.__enter__"),
    pytest.param(lambda m: bare(AioTransaction).__aenter__(), "AioTransaction", id="AioTransaction.__aenter__"),
]


@pytest.mark.parametrize("call, name", CALLS)
def test_uninitialised_object_names_itself(models, call, name):
    with pytest.raises(RuntimeError, match=not_initialised(name)):
        call(models)


def test_the_methods_of_an_uninitialised_connector_raise_inside_a_loop(models):
    async def use():
        connector = bare(AioSqliteConnector)
        assert connector.isReady is False  # reading an attribute starts no setup
        with pytest.raises(RuntimeError, match=not_initialised("AioSqliteConnector")):
            await connector.getCon()

    asyncio.run(use())


def test_init_run_late_makes_the_object_usable(models, tmp_path):
    with installed(Sqlite3Connector(str(tmp_path / "db.sqlite"))) as handle:
        handle.executeSql("CREATE TABLE rel_account (id INTEGER PRIMARY KEY, email TEXT, name TEXT)")
        ex = bare(ModelExecutor)
        with pytest.raises(RuntimeError):
            ex.findAllBy()
        ex.__init__(models.Account)
        assert list(ex.findAllBy()) == []


# --- a bare object handed to code that did not make it ------------------------------


def test_handle_refuses_an_uninitialised_executor(models):
    with pytest.raises(RuntimeError, match=not_initialised("ModelExecutor")):
        DB.getInstance().execute(executor=bare(ModelExecutor))


def bare_executor_model(models):
    class Bare(models.Account):
        @classmethod
        def getExecutor(cls, con=None):
            return bare(ModelExecutor)

    return Bare


def test_paging_refuses_a_model_whose_executor_is_uninitialised(models):
    with pytest.raises(RuntimeError, match=not_initialised("ModelExecutor")):
        Folio(bare_executor_model(models), 1, 5)


def test_seeding_through_an_uninitialised_executor_raises(models, tmp_path):
    Bare = bare_executor_model(models)
    with installed(Sqlite3Connector(str(tmp_path / "db.sqlite"))):
        data_task(Bare, 1, "bare executor")(lambda time: Bare(email=f"e{time}"))
        with pytest.raises(RuntimeError, match=not_initialised("ModelExecutor")):
            GeneratorRunner().run_group("bare executor")


@pytest.mark.parametrize("connector", [AioSqliteConnector, AioMysqlConnector])
def test_statement_on_an_uninitialised_asyncio_connector_raises(models, connector):
    async def run():
        with installed(bare(connector)):
            return await AsyncModelExecutor(models.Account).findAllBy()

    with pytest.raises(RuntimeError, match=not_initialised(connector.__name__)):
        asyncio.run(run())
