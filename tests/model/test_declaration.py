"""Declaring model classes: columns, keys, table names, relations."""

import pytest

from model_fixtures import models  # noqa: F401  (fixture)

from Tessary.Model.DataModel import DataModel, MiddleDataModel, ModelMeta
from Tessary.Model.ModelProperty import (
    AutoIncrement,
    BaseProperty,
    BigIntegerProperty,
    BooleanProperty,
    BytesProperty,
    DateProperty,
    DateTimeProperty,
    DecimalProperty,
    FloatProperty,
    ForeignKey,
    ForeignType,
    IntegerProperty,
    NullDefault,
    TextProperty,
    VarcharProperty,
)


@pytest.mark.parametrize("cls, sql_type", [
    (IntegerProperty, "INT"), (BigIntegerProperty, "BIGINT"), (FloatProperty, "DOUBLE"),
    (DecimalProperty, "DECIMAL"), (VarcharProperty, "VARCHAR"), (TextProperty, "TEXT"),
    (BooleanProperty, "BIT"), (DateTimeProperty, "DATETIME"), (DateProperty, "DATE"), (BytesProperty, "BLOB"),
])
def test_typed_properties(cls, sql_type):
    prop = cls()
    assert prop.targetType == sql_type
    assert (prop.typeArgs, prop.isPrimaryKey, prop.nullable, prop.extra) == ((), False, False, "")
    assert prop.default is NullDefault and not prop.hasDefault
    assert prop.name is None and prop.owner is None


@pytest.mark.parametrize("args, type_args", [((64,), (64,)), ((10, 2), (10, 2)), ((), ())])
def test_type_args_kept_as_given(args, type_args):
    assert DecimalProperty(*args).typeArgs == type_args


@pytest.mark.parametrize("default, has_default", [
    (NullDefault, False), (NullDefault(), False), (AutoIncrement, True), (0, True), (None, True), ("", True),
])
def test_has_default(default, has_default):
    prop = IntegerProperty(default=default)
    assert prop.hasDefault is has_default
    assert prop.default is default


@pytest.mark.parametrize("kwargs, message", [
    ({"size": 3}, "__init__() got an unexpected keyword argument 'size'"),
    ({"extra": 3}, "Argument 'extra' has incorrect type (expected str, got int)"),
])
def test_property_bad_arguments(kwargs, message):
    with pytest.raises(TypeError) as err:
        IntegerProperty(**kwargs)
    assert str(err.value) == message


def test_model_attributes(models):
    User = models.User
    assert [c.name for c in User.col] == ["id", "name", "age"]
    assert all(c.owner is User for c in User.col)
    assert User.col[1] is User.name
    assert User.pkCol is User.id and User.pkName == "id"
    assert User.tableName == "user" and models.Post.tableName == "post"
    assert [f.name for f in User.fk] == ["posts", "tags"]
    assert all(f.owner is User for f in User.fk)
    assert User.id.dbName == "id"


@pytest.mark.parametrize("base", [DataModel, MiddleDataModel])
def test_bases_and_empty_models_are_not_tables(base):
    assert (base.col, base.fk, base.pkCol, base.pkName) == ((), (), None, None)
    assert type(base) is ModelMeta

    class Empty(base):
        pass

    assert (Empty.col, Empty.pkCol, Empty.tableName) == ((), None, "empty")
    assert Empty() == {} and Empty().object is Empty


def test_inherited_columns_come_first_and_belong_to_the_subclass():
    class Stamped(DataModel):
        id = IntegerProperty(isPrimaryKey=True)
        created = DateProperty()
        note = TextProperty()

    class Item(Stamped):
        name = TextProperty()
        created = DateTimeProperty()   # replaces in place
        note = None                    # removes

    assert [(c.name, c.targetType) for c in Item.col] == [("id", "INT"), ("created", "DATETIME"), ("name", "TEXT")]
    assert Item.id is not Stamped.id and Item.id.owner is Item and Stamped.id.owner is Stamped
    assert Item.pkCol is Item.id and Item.tableName == "item"


def test_property_reused_in_a_second_class_is_copied():
    shared = VarcharProperty(10, nullable=True)

    class A(DataModel):
        x = shared

    class B(DataModel):
        y = shared

    assert A.x is shared and (shared.name, shared.owner) == ("x", A)
    assert B.y is not shared and (B.y.name, B.y.owner, B.y.typeArgs, B.y.nullable) == ("y", B, (10,), True)


@pytest.mark.parametrize("body, error, message", [
    ({"a": IntegerProperty(isPrimaryKey=True), "b": IntegerProperty(isPrimaryKey=True)}, ValueError,
     "declares more than one primary key (a and b)"),
    ({"col": IntegerProperty()}, ValueError, "'col' is reserved"),
    ({"tableName": 3}, TypeError, "tableName must be a str, got int"),
])
def test_bad_declarations(body, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        ModelMeta("Bad", (DataModel,), dict(body))


def test_one_to_many_relation_resolves_forward_reference(models):
    posts = models.User.posts
    assert posts.Type == ForeignType.ONE_TO_MANY
    assert posts.target is models.Post and posts.directTarget is models.Post
    assert posts.bindCol is models.User.id and posts.targetBindCol is models.Post.user_id
    assert posts.middleModel is None


def test_relation_reads_as_items(models):
    posts = models.User.posts
    for key in posts.keys():
        assert posts[key] is getattr(posts, key)
        assert key in posts
    assert "nothing" not in posts
    with pytest.raises(KeyError):
        posts["nothing"]


def test_many_to_many_generates_junction(models):
    User, Tag = models.User, models.Tag
    tags = User.tags
    junction = tags.target
    assert issubclass(junction, MiddleDataModel) and tags.middleModel is junction
    assert junction.tableName == "user_tag" and tags.directTarget is Tag
    assert [(c.name, c.targetType, c.nullable, c.isPrimaryKey) for c in junction.col] == [
        ("user_id", "INT", False, False), ("tag_id", "INT", False, False)]
    assert junction.pkCol is None
    assert tags.bindCol is User.id and tags.targetBindCol is junction.user_id

    to_tag = junction.getOtherFkBy(User)
    assert (to_tag.target, to_tag.bindCol, to_tag.targetBindCol) == (Tag, junction.tag_id, Tag.id)
    to_user = junction.getOtherFkBy(Tag)
    assert (to_user.target, to_user.bindCol, to_user.targetBindCol) == (User, junction.user_id, User.id)


def test_far_model_attribute(models):
    # Read before the relation itself was used: reading it resolves the relation.
    join = models.Tag.user
    junction = models.User.tags.middleModel
    assert (join.owner, join.target, join.directTarget) == (models.Tag, junction, junction)
    assert join.bindCol is models.Tag.id and join.targetBindCol is junction.tag_id
    assert join not in models.Tag.fk


def test_given_middle_model_is_linked_to_both_sides():
    class Student(DataModel):
        id = IntegerProperty(isPrimaryKey=True)
        courses = ForeignKey(ForeignType.MANY_TO_MANY, "Course", "id", "code", middleModel="Enrolment")

    class Course(DataModel):
        code = VarcharProperty(8, isPrimaryKey=True)

    class Enrolment(MiddleDataModel):
        student_id = IntegerProperty()
        course_id = VarcharProperty(8)

    rel = Student.courses
    assert (rel.target, rel.middleModel, rel.directTarget) == (Enrolment, Enrolment, Course)
    assert rel.targetBindCol is Enrolment.student_id
    other = Enrolment.getOtherFkBy(Student)
    assert (other.target, other.bindCol, other.targetBindCol) == (Course, Enrolment.course_id, Course.code)
    assert Course.student.targetBindCol is Enrolment.course_id


@pytest.mark.parametrize("decl, error, message", [
    (lambda: ForeignKey(ForeignType.ONE_TO_ONE, "Nowhere", "id", "id"), NameError, "no model class named 'Nowhere'"),
    (lambda: ForeignKey(ForeignType.ONE_TO_ONE, DataModel, "nope", "id"), AttributeError, "has no column 'nope'"),
    (lambda: ForeignKey(ForeignType.MANY_TO_MANY, "Owner", "id", "id"), ValueError, "with itself"),
])
def test_unresolvable_relation_names_the_problem(decl, error, message):
    class Owner(DataModel):
        id = IntegerProperty(isPrimaryKey=True)
        rel = decl()

    with pytest.raises(error, match=message):
        Owner.rel.target


@pytest.mark.parametrize("args, error", [
    ((5, "A", "id", "id"), ValueError),
    ((0, 3, "id", "id"), TypeError),
    ((0, "A", 1, "id"), TypeError),
    ((0, "A", "id", "id", "M"), ValueError),
    ((0, "A", "id"), TypeError),
])
def test_foreign_key_bad_arguments(args, error):
    with pytest.raises(error):
        ForeignKey(*args)


def test_middle_model_must_be_a_junction():
    class Far(DataModel):
        id = IntegerProperty(isPrimaryKey=True)

    class Near(DataModel):
        id = IntegerProperty(isPrimaryKey=True)
        rel = ForeignKey(ForeignType.MANY_TO_MANY, Far, "id", "id", middleModel=Far)

    with pytest.raises(TypeError, match="must be a MiddleDataModel subclass"):
        Near.rel.middleModel


def test_unbound_relation():
    with pytest.raises(AttributeError, match="not declared in a model class"):
        ForeignKey(0, "A", "id", "id").target


def test_get_other_fk_by_without_other_relation(models):
    with pytest.raises(LookupError):
        models.Post.getOtherFkBy(models.User)


def test_rendered_joins(models):
    gen = pytest.importorskip("Tessary.DB.Generator")
    sql = gen.SqlGenerator().select(models.Tag.id).From(models.Tag).join(getattr(models.Tag, "user")).Build()
    assert sql == ("SELECT tag.id FROM tag\n       JOIN user_tag on tag.id = user_tag.tag_id\n ;", ())
    builder = gen.SqlGenerator().select(models.User.id).From(models.User).join(models.User.tags)
    assert builder.Build()[0] == ("SELECT user.id FROM user\n       JOIN user_tag on user.id = user_tag.user_id\n"
                                  "       JOIN tag on user_tag.tag_id = tag.id\n ;")


def test_get_executor_needs_database_layer(models):
    try:
        import Tessary.DB.DB  # noqa: F401
        import Tessary.Model.Carrack as carrack
    except ImportError:
        with pytest.raises(ImportError):
            models.User.getExecutor()
        return
    executor = models.User.getExecutor()
    assert type(executor) is carrack.ModelExecutor


def test_base_property_is_usable_directly():
    class Raw(DataModel):
        x = BaseProperty(3)

    assert (Raw.x.targetType, Raw.x.typeArgs, Raw.x.name) == ("", (3,), "x")


def test_objects_made_without_init_are_safe():
    class Odd(DataModel):
        id = IntegerProperty(isPrimaryKey=True)
        rel = ForeignKey.__new__(ForeignKey)
        raw = IntegerProperty.__new__(IntegerProperty)

    assert [c.name for c in Odd.col] == ["id", "raw"] and Odd.raw.default is NullDefault
    with pytest.raises(TypeError, match="never initialised"):
        Odd.rel.target
    with pytest.raises(AttributeError):
        Odd.missing
