"""Values that would break SQL text if they entered it (quotes, comment
markers, NUL bytes, non-ASCII text, percent signs, backslashes, huge
integers) never do: the builders put them in the argument tuple, every
statement a driver receives carries only placeholders, and the values come
back from SQLite and MariaDB unchanged."""

import pytest

from Tessary.DB.Generator import CustomSqlGenerator, FunctionCall, InOperatorGenerator, Q, SqlGenerator
from Tessary.DB.Connector import Sqlite3Connector
from Tessary.Ext.Folio import Folio
from Tessary.Model.ModelProperty import FilterListCell

from reliability_support import installed

# Every value carries MARK; no statement text may contain it.
MARK = "ZQ"
HOSTILE = {
    "quote": f"it's {MARK}",
    "double-quote": f'say "{MARK}"',
    "injection": f"x'); DROP TABLE rel_account; -- {MARK}",
    "nul": f"a\0{MARK}\0",
    "non-ascii": f"naïve ✓ 日本語 {MARK}",
    "astral": f"😀 {MARK} 𝄞",
    "percent": f"100% {MARK} %s %% %(x)s",
    "backslash": f"back\\slash {MARK} \\' \\",
    "backtick": f"`{MARK}`; --",
    "newlines": f"line\n{MARK}\r\n\t",
    "question-mark": f"? {MARK} ?",
}
HUGE_INTEGERS = [2 ** 63, -2 ** 63 - 1, 2 ** 70]


def builders(A, value):
    """Every way a value reaches a statement through the builders."""
    return {
        "equal": SqlGenerator().select(A.id).From(A).where(A.email == value),
        "not-equal-or": SqlGenerator().select(A.id).From(A).where((A.email != value) | (A.name > value)),
        "like": SqlGenerator().select(A.id).From(A).where(A.name.like(value)),
        "in": SqlGenerator().select(A.id).From(A).where(A.email.In([value, 1])),
        "group": SqlGenerator().select(A.id).From(A).where(Q(A.email == value) & (A.id == 1)),
        "function": SqlGenerator().select(A.id).From(A).where(A.name == FunctionCall("lower", value)),
        "custom": SqlGenerator().select(A.id).From(A).where(A.name == CustomSqlGenerator("upper(%s)", (value,))),
        "in-generator": SqlGenerator().select(A.id).From(A).where(group_of(InOperatorGenerator([value], A.email))),
        "insert": SqlGenerator().insert(A).values(A.email.insertCell(value), A.name.insertCell(value)),
        "update": SqlGenerator().update(A).set(A.name.updateCell(value)).where(A.email == value),
        "delete": SqlGenerator().delete(A).where(A.email == value),
    }


def group_of(generator):
    """A group cell rendering `generator` on its own."""
    return Q(FilterListCell(generator))


@pytest.mark.parametrize("value", list(HOSTILE.values()) + HUGE_INTEGERS, ids=list(HOSTILE) + ["2**63", "-2**63-1",
                                                                                               "2**70"])
def test_builders_keep_values_out_of_the_text(models, use_sqlite, value):
    for name, builder in builders(models.Account, value).items():
        text, args = builder.Build()
        assert str(value) not in text, name
        assert MARK not in text, name
        assert text.count("%s") == len(args), name
        assert value in args, name


@pytest.fixture
def use_sqlite():
    connector = Sqlite3Connector(":memory:")
    with installed(connector):
        yield
    connector.close()


def sent_texts(backend):
    return [text for text, _args in backend.connector.seen]


def test_round_trip_through_every_operation(backend, tables):
    m = tables
    A = m.Account
    ids = []
    for index, (name, value) in enumerate(HOSTILE.items()):
        email = f"{index}:{value}"
        saved = A.getExecutor().save(A(email=email, name=value, profile=m.Profile(bio=value),
                                       posts=[m.Post(title=value, tags=[m.Tag(label=value)])]))
        ids.append(saved["id"])
        found = A.getExecutor().findOneBy(A.email == email)
        assert (found["email"], found["name"]) == (email, value), name
        A.getExecutor().findForeignKey(found, True)
        assert found["profile"]["bio"] == value, name
        assert [p["title"] for p in found["posts"]] == [value], name
        assert [t["label"] for t in found["posts"][0]["tags"]] == [value], name
        assert [r["id"] for r in A.getExecutor().findAnyMatch(A(name=value))] == [saved["id"]], name
        # (LIKE is left out: its own escapes differ between the two databases.)
        assert [r["id"] for r in A.getExecutor().findAllBy(A.name.In([value]) & (A.email != value))] == [saved["id"]]
        assert A.getExecutor().find(A.id).By(A.name == value)[0]["id"] == saved["id"], name
        page = Folio(A).filter(A.name == value).execute()
        assert (page.total, [r["email"] for r in page.content]) == (1, [email]), name
        A.getExecutor().update(A(id=saved["id"], email=email, name=value + value))
        assert backend.rows("SELECT name FROM rel_account WHERE id = %s", (saved["id"],)) == [(value + value,)]
    assert backend.count(A) == len(HOSTILE)
    A.getExecutor().delete(None, A.id.In(ids[1:]))
    A.getExecutor().delete(A(id=ids[0]))
    assert backend.count(A) == 0
    texts = sent_texts(backend)
    assert len(texts) > 10 * len(HOSTILE)
    assert not [text for text in texts if MARK in text or "DROP" in text]


@pytest.mark.parametrize("value", HUGE_INTEGERS, ids=["2**63", "-2**63-1", "2**70"])
def test_huge_integers_fail_in_the_driver_or_match_nothing(backend, tables, value):
    A = tables.Account
    try:
        rows = A.getExecutor().findAllBy(A.id == value)
    except (OverflowError, ValueError) as error:  # sqlite3 cannot bind it
        assert "too large" in str(error) or "int" in str(error)
    else:
        assert len(rows) == 0
    assert not [text for text in sent_texts(backend) if str(value) in text]
    assert A.getExecutor().findAllBy() == []  # the handle still works
