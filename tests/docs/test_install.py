"""`pip install .` offline, through the in-tree build backend, into a fresh
virtual environment: every module imports there without PYTHONPATH, the
stubs and py.typed come along, and pip can uninstall what it installed."""

import importlib.util
import os
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

from conftest import ROOT

MODULES = ["Tessary._coro", "Tessary.Model.ModelProperty", "Tessary.Model.DataModel", "Tessary.DB.Generator",
           "Tessary.DB.DB", "Tessary.DB.Connector", "Tessary.Model.Carrack", "Tessary.Ext.Dict",
           "Tessary.Ext.Folio", "Tessary.Ext.Seeder", "Tessary.Error.QueryError", "Tessary.Error.DBError",
           "Tessary.Error.SqlError"]


def clean_environment():
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME", "TESSARY_BUILD")}
    env["PIP_NO_INDEX"] = "1"
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    return env


def run(args, cwd):
    result = subprocess.run([str(a) for a in args], cwd=cwd, env=clean_environment(),
                            capture_output=True, text=True, timeout=1800)
    assert result.returncode == 0, f"{args}\n{result.stdout}\n{result.stderr}"
    return result.stdout


def provide_drivers(venv_python, tmp_path):
    """The drivers the executors import, from wherever this interpreter
    finds them (Debian's packages), through a .pth file of the environment:
    the package itself declares no requirements."""
    drivers = tmp_path / "drivers"
    drivers.mkdir()
    for name in ("pymysql", "aiomysql"):
        spec = importlib.util.find_spec(name)
        if spec is not None:
            (drivers / name).symlink_to(Path(spec.origin).resolve().parent)
    site = run([venv_python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"], tmp_path).strip()
    Path(site, "drivers.pth").write_text(f"{drivers}\n")


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    """A fresh virtual environment with Tessary installed by `pip install .`."""
    tmp_path = tmp_path_factory.mktemp("install")
    run([sys.executable, "-m", "venv", tmp_path / "venv"], tmp_path)
    python = tmp_path / "venv" / "bin" / "python"
    run([python, "-m", "pip", "install", "--no-index", ROOT], tmp_path)
    provide_drivers(python, tmp_path)
    return python, tmp_path


@pytest.mark.slow
def test_every_module_imports_from_the_environment(venv):
    python, cwd = venv
    code = ("import importlib, sys\n"
            f"for name in {MODULES!r}:\n"
            "    module = importlib.import_module(name)\n"
            "    assert module.__file__.startswith(sys.prefix), module.__file__\n"
            "import Tessary\n"
            "print(Tessary.__path__[0])\n")
    package = Path(run([python, "-c", code], cwd).strip())
    assert (package / "py.typed").is_file()
    stubs = sorted(p.relative_to(package).as_posix() for p in package.rglob("*.pyi"))
    assert stubs == ["DB/Connector.pyi", "DB/DB.pyi", "DB/Generator.pyi", "Ext/Dict.pyi", "Ext/Folio.pyi",
                     "Ext/Seeder.pyi", "Model/Carrack.pyi", "Model/DataModel.pyi", "Model/ModelProperty.pyi",
                     "_coro.pyi"]


@pytest.mark.slow
def test_installed_package_runs_a_query(venv):
    python, cwd = venv
    code = ("from Tessary.DB.DB import DB\n"
            "from Tessary.DB.Generator import TableGenerator\n"
            "from Tessary.Model.DataModel import DataModel\n"
            "from Tessary.Model.ModelProperty import AutoIncrement, IntegerProperty, VarcharProperty\n"
            "class Note(DataModel):\n"
            "    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)\n"
            "    text = VarcharProperty(20)\n"
            "DB.getInstance().executeSql(TableGenerator(Note).Build()[0])\n"
            "Note.getExecutor().save(Note(text='installed'))\n"
            "print(Note.getExecutor().findOneBy(Note.id == 1))\n")
    assert run([python, "-c", code], cwd) == "{'id': 1, 'text': 'installed'}\n"


@pytest.mark.slow
def test_uninstall_removes_what_was_installed(venv):
    # Last of the tests on the environment: it takes the package away.
    python, cwd = venv
    package = Path(run([python, "-c", "import Tessary; print(Tessary.__path__[0])"], cwd).strip())
    run([python, "-m", "pip", "uninstall", "-y", "Tessary"], cwd)
    leftovers = [p for p in package.rglob("*") if p.is_file() and "__pycache__" not in p.parts] \
        if package.exists() else []
    assert leftovers == []


def test_sdist_carries_the_build_inputs(tmp_path):
    sys.path.insert(0, str(ROOT / "tools"))
    try:
        import tessary_build
    finally:
        sys.path.remove(str(ROOT / "tools"))
    name = tessary_build.build_sdist(str(tmp_path))
    assert name == "tessary-0.1.0.tar.gz"
    with tarfile.open(tmp_path / name) as sdist:
        members = set(sdist.getnames())
    for required in ("pyproject.toml", "CMakeLists.txt", "PKG-INFO", "tools/tessary_build.py",
                     "include/tessary/py.hpp", "src/dict/dict_plus.cpp", "python/Tessary/py.typed"):
        assert f"tessary-0.1.0/{required}" in members
    assert not any(m.endswith(".so") or "__pycache__" in m for m in members)
