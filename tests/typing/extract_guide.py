"""Writes the guide's python blocks as one module for the type checkers, each
block at its own line of the guide (so reports name the guide's lines), in
the order the guide runs them.

    python extract_guide.py docs/guide.md OUT.py
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "docs"))
import guide_runner  # noqa: E402

# The guide's story binds a name again to a row of the same model (`bob`, built, then
# saved, then fetched anew). mypy 1.0 takes `User(...)` for an instance of User, not
# the ModelInstance[User] it is, so such a re-binding is no fault of the code.
HEADER = '# mypy: disable-error-code="assignment"'


def module_text(guide):
    lines = [HEADER]
    for block in guide_runner.blocks(guide.read_text()):
        if block.language != "python":
            continue
        lines += [""] * (block.start - 1 - len(lines))
        lines += block.code.splitlines()
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    Path(sys.argv[2]).write_text(module_text(Path(sys.argv[1])))
