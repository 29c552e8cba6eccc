"""`pip install .` offline, through the in-tree build backend, into a fresh
virtual environment made the README's way: every module imports there
without PYTHONPATH, the stubs and py.typed come along, the wheel declares its
drivers and carries the README, and pip can uninstall what it installed."""

import email
import os
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

from conftest import ROOT
from guide_runner import blocks

MODULES = ["Tessary._coro", "Tessary.Model.ModelProperty", "Tessary.Model.DataModel", "Tessary.DB.Generator",
           "Tessary.DB.DB", "Tessary.DB.Connector", "Tessary.Model.Carrack", "Tessary.Ext.Dict",
           "Tessary.Ext.Folio", "Tessary.Ext.Seeder", "Tessary.Ext.Migrate", "Tessary.Error.QueryError",
           "Tessary.Error.DBError", "Tessary.Error.SqlError", "Tessary.Error.MigrateError"]
REQUIREMENTS = ["PyMySQL", 'aiomysql; extra == "asyncio"']
DEBIAN_PACKAGES = "/usr/lib/python3/dist-packages"


def clean_environment():
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME", "TESSARY_BUILD")}
    env["PIP_NO_INDEX"] = "1"
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    return env


def run(args, cwd, env=None):
    result = subprocess.run([str(a) for a in args], cwd=cwd, env=env or clean_environment(),
                            capture_output=True, text=True, timeout=1800)
    assert result.returncode == 0, f"{args}\n{result.stdout}\n{result.stderr}"
    return result.stdout


def backend():
    sys.path.insert(0, str(ROOT / "tools"))
    try:
        import tessary_build
    finally:
        sys.path.remove(str(ROOT / "tools"))
    return tessary_build


def readme_install_commands():
    """The README's shell block that makes an environment and installs into it."""
    [commands] = [b.code for b in blocks((ROOT / "README.md").read_text()) if b.language == "sh"
                  and "pip install" in b.code]
    return commands


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    """A fresh virtual environment made and filled by the README's commands,
    run from the checkout; `python3.13` is this interpreter and the
    environment goes under a home of its own."""
    if not all(Path(DEBIAN_PACKAGES, name).is_dir() for name in ("pymysql", "aiomysql")):
        pytest.skip("Debian's python3-pymysql and python3-aiomysql are not installed")
    tmp_path = tmp_path_factory.mktemp("install")
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "python3.13").symlink_to(sys.executable)
    env = clean_environment()
    env.update(HOME=str(tmp_path), PATH=f"{bin_dir}{os.pathsep}{env.get('PATH', '')}")
    run(["bash", "-euo", "pipefail", "-c", readme_install_commands()], ROOT, env)
    return tmp_path / "tessary-env" / "bin" / "python", tmp_path
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
                     "Ext/Migrate/__init__.pyi", "Ext/Seeder.pyi", "Model/Carrack.pyi", "Model/DataModel.pyi", "Model/ModelProperty.pyi",
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
def test_installed_metadata_and_requirements_met(venv):
    python, cwd = venv
    code = "import importlib.metadata as m, sys; sys.stdout.write(m.distribution('Tessary').read_text('METADATA'))"
    assert_metadata(run([python, "-c", code], cwd))
    # The drivers the README links in count as installed for pip.
    run([python, "-m", "pip", "check"], cwd)
    code = "import pymysql, aiomysql, Tessary.Model.Carrack; print('ok')"
    assert run([python, "-c", code], cwd) == "ok\n"


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
    name = backend().build_sdist(str(tmp_path))
    assert name == "tessary-0.1.0.tar.gz"
    with tarfile.open(tmp_path / name) as sdist:
        members = set(sdist.getnames())
        info = email.message_from_bytes(sdist.extractfile("tessary-0.1.0/PKG-INFO").read())
    for required in ("pyproject.toml", "CMakeLists.txt", "PKG-INFO", "tools/tessary_build.py",
                     "include/tessary/py.hpp", "src/dict/dict_plus.cpp", "python/Tessary/py.typed", "README.md"):
        assert f"tessary-0.1.0/{required}" in members
    assert not any(m.endswith(".so") or "__pycache__" in m for m in members)
    assert info.get_all("Requires-Dist") == REQUIREMENTS


def assert_metadata(text):
    """Core metadata that names the drivers and carries the README."""
    info = email.message_from_string(text)
    assert info["Name"] == "Tessary" and info["Version"] == "0.1.0"
    assert info["Requires-Python"] == ">=3.13,<3.14"
    assert info.get_all("Requires-Dist") == REQUIREMENTS
    assert info.get_all("Provides-Extra") == ["asyncio"]
    assert info["Description-Content-Type"] == "text/markdown"
    assert info.get_payload() == (ROOT / "README.md").read_text(encoding="utf-8")


def test_wheel_metadata_declares_the_drivers_and_carries_the_readme(tmp_path):
    # The wheel as build_wheel packs it, from a stage holding one file.
    tessary_build = backend()
    stage = tmp_path / "stage"
    (stage / "Tessary").mkdir(parents=True)
    (stage / "Tessary" / "py.typed").write_text("")
    wheel_path = tmp_path / "Tessary.whl"
    tessary_build._pack(stage, wheel_path)
    with zipfile.ZipFile(wheel_path) as wheel:
        assert_metadata(wheel.read("Tessary-0.1.0.dist-info/METADATA").decode("utf-8"))
    # pip reads the metadata before it builds, to resolve the requirements.
    info = tessary_build.prepare_metadata_for_build_wheel(str(tmp_path / "prepared"))
    assert_metadata((tmp_path / "prepared" / info / "METADATA").read_text(encoding="utf-8"))
