"""Runs the code of a Markdown guide: every ```python block, in order, in one
namespace, in this interpreter. A block fenced ```python mariadb runs only
with --mariadb (the MYSQL_* environment variables then name the server).
A ```text block that directly follows a python block is that block's
expected standard output (compared line by line, trailing blanks ignored).

    python guide_runner.py docs/guide.md [--mariadb] [--show]

--show prints each block's output instead of comparing, for writing the
guide. Exit status 0 when every block ran and printed what the guide says;
otherwise the report names the guide's line of the failing block, and
tracebacks point into the guide itself.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import io
import re
import sys
import traceback
from pathlib import Path

FENCE = re.compile(r"^```(\S*)\s*(.*?)\s*$")
LANGUAGES = {"python", "text", "sh"}


@dataclasses.dataclass
class Block:
    start: int  # line number of the first line of code (1-based)
    end: int  # line number of the closing fence
    language: str
    tags: tuple[str, ...]
    code: str


def blocks(text):
    """Every fenced block of the text, in order."""
    found, current, lines = [], None, []
    for number, line in enumerate(text.splitlines(), 1):
        match = FENCE.match(line)
        if current is None and match:
            current = (number + 1, match.group(1), tuple(match.group(2).split()))
            lines = []
        elif current is not None and line.rstrip() == "```":
            found.append(Block(current[0], number, current[1], current[2], "\n".join(lines) + "\n"))
            current = None
        elif current is not None:
            lines.append(line)
    if current is not None:
        raise ValueError(f"line {current[0] - 1}: code block never closed")
    return found


def expected_output(all_blocks, index, text_lines):
    """The text block right after block `index` (only blank lines between), or None."""
    if index + 1 >= len(all_blocks):
        return None
    following = all_blocks[index + 1]
    between = text_lines[all_blocks[index].end:following.start - 2]
    if following.language != "text" or any(line.strip() for line in between):
        return None
    return following.code


def normalised(output):
    return [line.rstrip() for line in output.rstrip("\n").splitlines()]


def run(path, mariadb=False, show=False, out=sys.stdout):
    text = path.read_text()
    text_lines = text.splitlines()
    all_blocks = blocks(text)
    unknown = [b for b in all_blocks if b.language not in LANGUAGES]
    for block in unknown:
        print(f"{path}:{block.start - 1}: unknown code block language {block.language!r}", file=out)
    namespace = {"__name__": "__guide__"}
    failures, ran = len(unknown), 0
    for index, block in enumerate(all_blocks):
        if block.language != "python" or ("mariadb" in block.tags and not mariadb):
            continue
        ran += 1
        # Padding keeps the guide's line numbers in tracebacks.
        code = compile("\n" * (block.start - 1) + block.code, str(path), "exec")
        captured = io.StringIO()
        try:
            with contextlib.redirect_stdout(captured):
                exec(code, namespace)
        except BaseException:  # noqa: B902 - every failure is reported with its line
            failures += 1
            print(f"{path}:{block.start - 1}: block failed", file=out)
            print(captured.getvalue(), end="", file=out)
            traceback.print_exc(file=out)
            break  # later blocks depend on this one
        expected = expected_output(all_blocks, index, text_lines)
        if show:
            print(f"--- {path}:{block.start - 1}", file=out)
            print(captured.getvalue(), end="", file=out)
        elif expected is not None and normalised(captured.getvalue()) != normalised(expected):
            failures += 1
            print(f"{path}:{block.start - 1}: output differs from the text block at line "
                  f"{all_blocks[index + 1].start - 1}", file=out)
            print("expected:\n" + expected + "printed:\n" + captured.getvalue(), file=out)
    print(f"{ran} blocks ran, {failures} failed", file=out)
    return failures


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("guide", type=Path)
    parser.add_argument("--mariadb", action="store_true")
    parser.add_argument("--show", action="store_true")
    args = parser.parse_args(argv)
    return 1 if run(args.guide.resolve(), args.mariadb, args.show) else 0


if __name__ == "__main__":
    sys.exit(main())
