"""The README's first contact works as written: its Python blocks run, in
order, as one script in a fresh interpreter that has nothing but the package
(no tables, no files), and print what the comments under their print calls
say."""

from conftest import ROOT, run_python
from guide_runner import blocks

README = ROOT / "README.md"


def script_of(text):
    """The README's Python blocks as one script, each at its README line so
    that a traceback points into the README."""
    script, line = [], 1
    for block in blocks(text):
        if block.language != "python":
            continue
        script.append("\n" * (block.start - line) + block.code)
        line = block.start + block.code.count("\n")
    return "".join(script)


def expected_output(script):
    """The comment lines ("# ...") right under a print call, without "# "."""
    expected, after_print = [], False
    for line in script.splitlines():
        if after_print and line.startswith("# "):
            expected.append(line[2:])
            continue
        after_print = line.lstrip().startswith("print(")
    return expected


def test_readme_python_blocks_run_and_print_what_they_say(tmp_path):
    script = script_of(README.read_text())
    expected = expected_output(script)
    assert expected, "the README shows what its print calls write"
    path = tmp_path / "readme.py"
    path.write_text(script)
    result = run_python([path])
    assert result.returncode == 0, result.stdout + result.stderr
    assert [line.rstrip() for line in result.stdout.splitlines()] == expected


def test_script_keeps_readme_lines_and_reads_comments_after_prints_only():
    text = "intro\n```python\nx = 1\nprint(x)\n# 1\n# more\n```\n\n```sh\nls\n```\n```python\n# a note\ny = 2\n```\n"
    script = script_of(text)
    assert script.splitlines()[2:5] == ["x = 1", "print(x)", "# 1"]
    assert script.splitlines()[13] == "y = 2"
    assert expected_output(script) == ["1", "more"]
