"""Selected columns that share a name: the result is refused with ValueError
naming them before any row is made (a joined table's id would otherwise be
read as the model's own key); `col.As(alias)` selects them apart, on column
properties and FunctionCall. On each connector."""

import pytest

from Tessary.DB.Generator import ColumnAlias, FunctionCall, SqlGenerator
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import AutoIncrement, ForeignKey, ForeignType, IntegerProperty, VarcharProperty

from reliability_support import installed, make_backend


class Writer(DataModel):
    tableName = "writer"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    name = VarcharProperty(20)


class Piece(DataModel):
    tableName = "piece"
    id = IntegerProperty(isPrimaryKey=True, default=AutoIncrement)
    writer_id = IntegerProperty()
    title = VarcharProperty(20)
    author = ForeignKey(ForeignType.ONE_TO_ONE, Writer, bindCol="writer_id", targetBindCol="id")


@pytest.fixture(params=["sqlite", "mariadb", "aiosqlite", "aiomysql"])
def store(request, tmp_path):
    current = make_backend(request.param, request, tmp_path)
    with installed(current.connector):
        try:
            current.create(Writer, Piece)
            for name in ("ann", "bob", "cy"):
                done(current, Writer.getExecutor().save(Writer(name=name)))
            # piece 1 by writer 3, piece 2 by writer 1: no id lines up
            done(current, Piece.getExecutor().save(Piece(writer_id=3, title="first")))
            done(current, Piece.getExecutor().save(Piece(writer_id=1, title="second")))
            yield current
        finally:
            current.close()


def done(store, result):
    return store.run(result) if store.is_async else result


def joined():
    return Piece.getExecutor().editSql(lambda sql: sql.join(Piece.author))


def test_columns_sharing_a_name_are_refused(store):
    query = joined().find(Piece.id, Piece.title, Writer.id, Writer.name)
    with pytest.raises(ValueError, match=r"IntegerProperty\(piece.id\).*IntegerProperty\(writer.id\).*'id'.*As"):
        done(store, query.By(Piece.title == "first"))
    # refused whatever the rows: none match here
    query = joined().find(Piece.id, Writer.id)
    with pytest.raises(ValueError, match="share the name 'id'"):
        done(store, query.By(Piece.title == "nothing"))
    assert store.rows("SELECT COUNT(*) FROM piece") == [(2,)]


def test_an_alias_selects_both(store):
    query = joined().find(Piece.id, Piece.title, Writer.id.As("writer_key"), Writer.name)
    rows = done(store, query.By(Piece.title == "first"))
    assert [dict(row) for row in rows] == [{"id": 1, "title": "first", "writer_key": 3, "name": "cy"}]
    assert rows[0].object is Piece
    # the key read is the piece's own: deleting by the row deletes that piece
    done(store, Piece.getExecutor().delete(rows[0]))
    assert store.rows("SELECT id FROM piece") == [(2,)]


def test_a_function_call_under_an_alias(store):
    query = Piece.getExecutor().find(Piece.writer_id, FunctionCall("COUNT", Piece.id).As("pieces"))
    rows = done(store, query.By(Piece.writer_id == 1))
    assert [dict(row) for row in rows] == [{"writer_id": 1, "pieces": 1}]


def test_alias_text():
    built = SqlGenerator().select(Piece.id, Writer.id.As("writer_id_"), FunctionCall("IFNULL", Writer.name, "x")
                                  .As("label")).From(Piece).Build()
    assert built == ("SELECT piece.id,writer.id AS writer_id_,IFNULL(writer.name, %s) AS label FROM piece ;", ("x",))
    alias = Writer.id.As("k")
    assert isinstance(alias, ColumnAlias) and alias.source is Writer.id and alias.name == "k"
    assert alias.Build() == ("writer.id AS k", ())


@pytest.mark.parametrize("alias, error", [
    ("two words", ValueError), ("x; DROP TABLE piece", ValueError), ("", ValueError), ("1st", ValueError),
    (3, TypeError),
])
def test_alias_must_be_an_identifier(alias, error):
    with pytest.raises(error):
        Writer.id.As(alias)
    with pytest.raises(error):
        FunctionCall("COUNT", Writer.id).As(alias)


def test_alias_source_is_checked():
    with pytest.raises(TypeError, match="column property or a FunctionCall"):
        ColumnAlias("writer.id", "k")
    with pytest.raises(TypeError, match="no model class"):
        IntegerProperty().As("k")
    fresh = ColumnAlias.__new__(ColumnAlias)
    with pytest.raises(TypeError):
        fresh.Build()
