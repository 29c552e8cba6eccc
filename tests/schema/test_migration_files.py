"""Versioned migration files: the text make() writes, tessary_migrations and
its checksums, apply/rollback/status, a failing step, the run lock between
two processes and the command line's exit statuses."""

import os
import subprocess
import sys
import textwrap
import urllib.parse

import pytest
from migration_support import drop_every_table

from Tessary.DB.DB import DB
from Tessary.Error.MigrateError import DestructiveChangeError, MigrationError
from Tessary.Ext.Migrate import apply, inspect, main, make, rollback, status
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, IntegerProperty, VarcharProperty


class Gadget(DataModel):
    tableName = "mf_gadget"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    label = VarcharProperty(32)


class Part(DataModel):
    tableName = "mf_part"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    age = IntegerProperty(nullable=True)


class PartNotNull(DataModel):
    tableName = "mf_part"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    age = IntegerProperty()


@pytest.fixture(autouse=True)
def emptied_after(db):
    yield
    drop_every_table(db)


def write_migration(directory, stem, upgrade, downgrade="pass"):
    """A migration file written by hand: op calls, one per line."""
    directory.mkdir(exist_ok=True)
    body = textwrap.indent(textwrap.dedent(upgrade).strip(), "    ")
    back = textwrap.indent(textwrap.dedent(downgrade).strip(), "    ")
    text = (f'"""{stem}."""\n\nfrom Tessary.Ext.Migrate import Column, Table\n\nversion = "{stem[:4]}"\n\n\n'
            f"def upgrade(op):\n{body}\n\n\ndef downgrade(op):\n{back}\n")
    (directory / f"{stem}.py").write_text(text)


TABLE = "op.createTable(Table('mf_{0}', [Column('id', 'INT', nullable=False)], primaryKey=['id']))"
DROP = "op.dropTable(Table('mf_{0}', [Column('id', 'INT', nullable=False)], primaryKey=['id']))"


def three_migrations(directory):
    for number, name in enumerate(["one", "two", "three"], 1):
        write_migration(directory, f"000{number}_{name}", TABLE.format(name), DROP.format(name))


def tables(db):
    return sorted(name for name in inspect() if name.startswith("mf_"))


def url_of(db, request):
    if db.is_sqlite:
        return "sqlite:///" + db.sync_connector.path
    p = request.getfixturevalue("mariadb_params")
    socket = urllib.parse.quote(p["unix_socket"], safe="/")
    return f"mysql://{p['user']}@{p['host']}:{p['port']}/{p['database']}?unix_socket={socket}"


def run_cli(url, *args, cwd=None):
    env = dict(os.environ, TESSARY_DATABASE_URL=url) if url else {
        k: v for k, v in os.environ.items() if k != "TESSARY_DATABASE_URL"}
    return subprocess.run([sys.executable, "-m", "Tessary.Ext.Migrate", *args], env=env, cwd=cwd,
                          capture_output=True, text=True, timeout=120)


def test_make_writes_the_steps_and_their_inverse_then_nothing_once_in_sync(db, tmp_path):
    folder = tmp_path / "migrations"
    path = make("add_gadget", [Gadget], str(folder))
    assert path == str(folder / "0001_add_gadget.py")
    lines = (folder / "0001_add_gadget.py").read_text().splitlines()
    assert lines[0] == '"""Migration 0001: add_gadget."""'
    assert "from Tessary.Ext.Migrate import Column, Table" in lines
    assert 'version = "0001"' in lines
    up, down = lines.index("def upgrade(op):"), lines.index("def downgrade(op):")
    # One column per line: the call is read and edited by hand.
    assert lines[up + 1] == "    op.createTable(Table('mf_gadget', ["
    assert lines[up + 2].startswith("        Column('id', ") and lines[up + 2].endswith("autoIncrement=True),")
    assert lines[up + 3: up + 5] == ["        Column('label', 'VARCHAR(32)', nullable=False),",
                                     "    ], primaryKey=['id']))"]
    assert lines[down + 1: down + 5] == [line.replace("createTable", "dropTable") for line in lines[up + 1: up + 5]]
    with pytest.raises(MigrationError, match="apply pending migrations first: 0001_add_gadget"):
        make("again", [Gadget], str(folder))
    assert apply(str(folder)) == ["0001"]
    assert make("again", [Gadget], str(folder)) is None
    assert sorted(os.listdir(folder)) == ["0001_add_gadget.py"]
    assert DB.getInstance().checkSchema(Gadget) == []
    with pytest.raises(ValueError, match="letters, digits"):
        make("bad-name", [Gadget], str(folder))


def test_apply_to_rollback_steps_and_dry_runs(db, tmp_path):
    three_migrations(tmp_path / "m")
    assert apply(str(tmp_path / "m"), dryRun=True) == ["0001", "0002", "0003"]
    assert tables(db) == []
    assert apply(str(tmp_path / "m"), to="0002") == ["0001", "0002"]
    assert tables(db) == ["mf_one", "mf_two"]
    assert [(s["version"], s["applied"]) for s in status(str(tmp_path / "m"))] == [
        ("0001", True), ("0002", True), ("0003", False)]
    assert apply(str(tmp_path / "m")) == ["0003"]
    assert apply(str(tmp_path / "m")) == []
    with pytest.raises(DestructiveChangeError, match="mf_three"):
        rollback(str(tmp_path / "m"))
    assert rollback(str(tmp_path / "m"), steps=2, allowDestructive=True, dryRun=True) == ["0003", "0002"]
    assert tables(db) == ["mf_one", "mf_three", "mf_two"]
    assert rollback(str(tmp_path / "m"), steps=2, allowDestructive=True) == ["0003", "0002"]
    assert tables(db) == ["mf_one"]
    assert db.rows("SELECT version, name FROM tessary_migrations") == [("0001", "one")]
    with pytest.raises(MigrationError, match="no migration 0009"):
        apply(str(tmp_path / "m"), to="0009")


def test_an_edited_file_is_reported_and_refused_a_missing_one_reported(db, tmp_path):
    three_migrations(tmp_path / "m")
    apply(str(tmp_path / "m"), to="0002")
    first = tmp_path / "m" / "0001_one.py"
    first.write_text(first.read_text() + "# touched\n")
    (tmp_path / "m" / "0002_two.py").unlink()
    report = {s["version"]: s for s in status(str(tmp_path / "m"))}
    assert report["0001"] == {"version": "0001", "name": "one", "applied": True, "edited": True, "missing": False}
    assert report["0002"] == {"version": "0002", "name": "two", "applied": True, "edited": False, "missing": True}
    assert report["0003"]["applied"] is False
    with pytest.raises(MigrationError, match="0001_one was edited"):
        apply(str(tmp_path / "m"))
    assert tables(db) == ["mf_one", "mf_two"]


def test_a_data_step_added_by_hand_runs_before_the_step_it_prepares(db, tmp_path):
    db.create(Part)
    db.insert("mf_part", ["id", "age"], [(1, None), (2, 7)])
    make("init", [Part], str(tmp_path / "m"))  # nothing differs: no file
    assert not (tmp_path / "m").exists()
    path = make("age_required", [PartNotNull], str(tmp_path / "m"))
    text = open(path).read()
    step = "    op.alterColumn("
    text = text.replace(step, "    op.execute('UPDATE mf_part SET age = %s WHERE age IS NULL', (0,))\n" + step, 1)
    open(path, "w").write(text)
    assert apply(str(tmp_path / "m")) == ["0001"]
    assert db.rows("SELECT id, age FROM mf_part ORDER BY id") == [(1, 0), (2, 7)]
    assert DB.getInstance().checkSchema(PartNotNull) == []


def test_a_failing_step_stops_the_run_and_records_nothing(db, tmp_path):
    write_migration(tmp_path / "m", "0001_broken", """
        op.addColumn('mf_gadget', Column('size', 'INT', nullable=True))
        op.execute('INSERT INTO mf_nowhere (id) VALUES (%s)', (1,))
    """)
    db.create(Gadget)
    with pytest.raises(MigrationError, match=r"0001_broken failed at step 2 \(.*\n  statement: INSERT INTO mf_nowhere"):
        apply(str(tmp_path / "m"))
    assert status(str(tmp_path / "m"))[0]["applied"] is False
    columns = [c.name for c in inspect()["mf_gadget"].columns]
    # MariaDB commits each DDL statement: the first step stays; SQLite rolls the migration back.
    assert columns == (["id", "label"] if db.is_sqlite else ["id", "label", "size"])


def test_two_processes_applying_at_once_apply_each_migration_once(db, tmp_path, request):
    three_migrations(tmp_path / "m")
    url = url_of(db, request)
    command = [sys.executable, "-m", "Tessary.Ext.Migrate", "apply", "--dir", str(tmp_path / "m")]
    env = dict(os.environ, TESSARY_DATABASE_URL=url)
    runs = [subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            for _ in range(2)]
    outputs = [run.communicate(timeout=120) for run in runs]
    assert [run.returncode for run in runs] == [0, 0], outputs
    applied = "".join(out for out, _ in outputs)
    for stem in ["0001_one", "0002_two", "0003_three"]:
        assert applied.count(f"applying {stem} ... ok") == 1, applied
    assert db.rows("SELECT version FROM tessary_migrations ORDER BY version") == [("0001",), ("0002",), ("0003",)]
    assert tables(db) == ["mf_one", "mf_three", "mf_two"]


def test_the_command_line_exit_statuses(db, tmp_path, request):
    url = url_of(db, request)
    folder = str(tmp_path / "m")
    three_migrations(tmp_path / "m")
    done = run_cli(url, "apply", "--dir", folder, "--to", "0001")
    assert (done.returncode, done.stdout) == (0, "applying 0001_one ... ok\n"), done.stderr
    shown = run_cli(url, "plan", "--dir", folder)
    assert shown.returncode == 0 and "-- upgrade 0002_two\nCREATE TABLE `mf_two`" in shown.stdout
    listed = run_cli(None, "status", "--dir", folder, "--url", url)
    assert listed.stdout.splitlines() == ["0001_one  applied", "0002_two  pending", "0003_three  pending"]
    refused = run_cli(url, "rollback", "--dir", folder)
    assert refused.returncode == 1 and "lose data" in refused.stderr
    for usage in (["frobnicate"], ["apply", "--steps", "2"], ["rollback", "--steps", "0"], ["make", "x"],
                  ["apply", "--bogus"]):
        wrong = run_cli(url, *usage, "--dir", folder)
        assert wrong.returncode == 2 and "usage:" in wrong.stderr, (usage, wrong.stderr)
    assert run_cli(None, "status", "--dir", folder).returncode == 2
    assert run_cli("nosuch://x", "status", "--dir", folder).returncode == 2
    assert main(["--help"]) == 0
    assert tables(db) == ["mf_one"]


def test_the_command_line_makes_a_file_from_a_module_of_models(db, tmp_path, request):
    (tmp_path / "mf_models.py").write_text(textwrap.dedent("""
        from Tessary.Model.DataModel import DataModel
        from Tessary.Model.ModelProperty import IntegerProperty, VarcharProperty

        class Widget(DataModel):
            tableName = "mf_widget"
            id = IntegerProperty(isPrimaryKey=True)
            label = VarcharProperty(20, nullable=True)
    """))
    made = run_cli(url_of(db, request), "make", "add_widget", "--models", "mf_models", cwd=tmp_path)
    assert (made.returncode, made.stdout) == (0, "created migrations/0001_add_widget.py\n"), made.stderr
    assert "op.createTable(Table('mf_widget'" in (tmp_path / "migrations" / "0001_add_widget.py").read_text()
    pending = run_cli(url_of(db, request), "make", "again", "--models", "mf_models", cwd=tmp_path)
    assert pending.returncode == 1 and "apply pending migrations first: 0001_add_widget" in pending.stderr


@pytest.mark.parametrize("run", [apply, rollback, status], ids=lambda f: f.__name__)
def test_a_missing_folder_is_refused_not_read_as_no_migrations(db, tmp_path, run):
    with pytest.raises(FileNotFoundError, match="no migrations folder .*typo"):
        run(str(tmp_path / "typo"))


def test_a_run_started_from_a_migration_file_is_refused(db, tmp_path):
    folder = tmp_path / "m"
    write_migration(folder, "0001_nested", f"""
        from Tessary.Ext.Migrate import apply
        apply({str(folder)!r})
        {TABLE.format("nested")}
    """)
    with pytest.raises(MigrationError, match="0001_nested") as raised:
        apply(str(folder))
    assert "already in progress on this thread" in str(raised.value.__cause__)
    assert tables(db) == []
    three_migrations(tmp_path / "other")  # the thread may run again once the refused run ended
    assert apply(str(tmp_path / "other"), dryRun=True) == ["0001", "0002", "0003"]
