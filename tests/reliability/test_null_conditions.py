"""Comparing a column with None tests for NULL (IS NULL / IS NOT NULL, no
argument), on each connector; a condition has no truth value, so `and`/`or`
between conditions is refused instead of silently keeping one side."""

import pytest

from Tessary.DB.Generator import SqlGenerator
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, FilterListCell, IntegerProperty, VarcharProperty

from reliability_support import installed, make_backend


class NullMember(DataModel):
    tableName = "null_member"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    name = VarcharProperty(20)
    email = VarcharProperty(40, nullable=True)


@pytest.fixture(params=["sqlite", "mariadb", "aiosqlite", "aiomysql"])
def members(request, tmp_path):
    current = make_backend(request.param, request, tmp_path)
    with installed(current.connector):
        try:
            current.create(NullMember)
            for name, email in [("ann", "ann@example.org"), ("bob", None), ("cy", None)]:
                done(current, NullMember.getExecutor().save(NullMember(name=name, email=email)))
            yield current
        finally:
            current.close()


def done(backend, result):
    return backend.run(result) if backend.is_async else result


def names(rows):
    return sorted(row["name"] for row in rows)


def test_equal_none_finds_the_null_rows(members):
    found = done(members, NullMember.getExecutor().findAllBy(NullMember.email == None))  # noqa: E711
    assert names(found) == ["bob", "cy"]


def test_not_equal_none_finds_the_others(members):
    found = done(members, NullMember.getExecutor().findAllBy(NullMember.email != None))  # noqa: E711
    assert names(found) == ["ann"]


def test_null_test_combines_with_other_comparisons(members):
    condition = (NullMember.email == None) & (NullMember.name != "cy") | (NullMember.name == "ann")  # noqa: E711
    assert names(done(members, NullMember.getExecutor().findAllBy(condition))) == ["ann", "bob"]


def test_delete_by_a_null_test(members):
    done(members, NullMember.getExecutor().delete(filter=NullMember.email == None))  # noqa: E711
    assert members.rows("SELECT name FROM null_member") == [("ann",)]


@pytest.mark.parametrize("condition, text", [
    (NullMember.email == None, " WHERE null_member.email  IS NULL "),  # noqa: E711
    (NullMember.email != None, " WHERE null_member.email  IS NOT NULL "),  # noqa: E711
    ((NullMember.email == None) & (NullMember.id > 2),  # noqa: E711
     " WHERE null_member.email  IS NULL  AND null_member.id  >  %s "),
    ((NullMember.id > 2) | (NullMember.email != None),  # noqa: E711
     " WHERE null_member.id  >  %s  OR null_member.email  IS NOT NULL "),
])
def test_null_test_text_takes_no_argument(condition, text):
    built, args = SqlGenerator.build_where(condition)
    assert built == text
    assert args == ([2] if "%s" in text else [])


def test_other_comparisons_with_none_keep_their_placeholder():
    assert SqlGenerator.build_where(NullMember.id > None) == (" WHERE null_member.id  >  %s ", [None])


def test_hand_built_chain_with_none_tests_null_too():
    head = FilterListCell("email", NullMember.email)
    head.addCell(FilterListCell(None), 2)
    assert SqlGenerator.build_where(head) == (" WHERE null_member.email  IS NULL ", [])


@pytest.mark.parametrize("combine", [
    lambda a, b: a and b,
    lambda a, b: a or b,
    lambda a, b: not a,
    lambda a, b: bool(a & b),
])
def test_a_condition_has_no_truth_value(combine):
    a, b = NullMember.id == 1, NullMember.name == "ann"
    with pytest.raises(TypeError, match="use & and \\| to combine conditions"):
        combine(a, b)
