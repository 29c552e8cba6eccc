"""What importing and using the package leaves in the application's process:
its one log line goes through the package's own logger, so it reaches the
root's handlers without configuring the root logger itself."""

import subprocess
import sys
import textwrap

import pytest

# A many-to-many relation answered from the per-load cache writes the log
# line without any statement, so no database is needed to reach it.
SCRIPT = textwrap.dedent("""
    import logging
    from Tessary.Model.DataModel import DataModel
    from Tessary.Model.ModelProperty import ForeignKey, ForeignType, IntegerProperty

    class SePost(DataModel):
        tableName = "se_post"
        id = IntegerProperty(isPrimaryKey=True)
        tags = ForeignKey(ForeignType.MANY_TO_MANY, "SeTag", bindCol="id", targetBindCol="id")

    class SeTag(DataModel):
        tableName = "se_tag"
        id = IntegerProperty(isPrimaryKey=True)

    post = SePost(id=1)
    SePost.getExecutor().findForeignKey(post, path={"se_tag": {1: ["cached"]}})
    assert post["tags"] == ["cached"]
    before = list(logging.root.handlers)
    logging.basicConfig(level=logging.INFO, format="%(name)s|%(levelname)s|%(message)s")
    print(len(before), len(logging.root.handlers), logging.root.level == logging.INFO)
    SePost.getExecutor().findForeignKey(SePost(id=1), path={"se_tag": {1: ["cached"]}})
""")


def test_log_line_configures_nothing_and_reaches_the_root_handlers():
    child = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    # Nothing installed on the root before the application's basicConfig,
    # which then takes effect; the second line reaches its handler, named.
    assert child.stdout == "0 1 True\n"
    assert child.stderr == "Tessary|INFO|当前外键tags已经查询过\n"


@pytest.mark.parametrize("level, shown", [(None, False), ("INFO", True)])
def test_log_line_follows_the_package_logger_level(level, shown):
    setup = "" if level is None else f"logging.getLogger('Tessary').setLevel(logging.{level})\n"
    script = SCRIPT.replace("before = ", setup + "before = ").replace("level=logging.INFO", "level=logging.WARNING")
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    assert ("当前外键tags已经查询过" in child.stderr) is shown
