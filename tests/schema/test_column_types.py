"""EnumProperty and UuidProperty: members and UUIDs written and read back on
every connector (save, conditions, In, update, values), values they refuse
before any statement is sent, stored values they cannot read, their CREATE
TABLE text, and the classes they refuse at declaration."""

import copy
import enum
import inspect
import uuid

import pytest

from Tessary.DB.Generator import TableGenerator
from Tessary.Model.DataModel import DataModel
from Tessary.Model.ModelProperty import EnumProperty, IntegerProperty, UuidProperty, VarcharProperty


class Status(enum.Enum):
    DRAFT = "draft"
    PUBLISHED = "published"
    ARCHIVED = "archived"


class Priority(enum.IntEnum):
    LOW = 1
    HIGH = 5


class Ticket(DataModel):
    tableName = "ticket"
    key = UuidProperty(isPrimaryKey=True)
    title = VarcharProperty(40)
    status = EnumProperty(Status, default=Status.DRAFT)
    priority = EnumProperty(Priority, nullable=True)
    parent = UuidProperty(nullable=True)


KEYS = [uuid.UUID(int=n) for n in (1, 2, 3)]


@pytest.fixture
def tickets(backend):
    backend.create(Ticket)
    executor = backend.executor(Ticket)
    for key, status, priority in zip(KEYS, Status, [Priority.LOW, Priority.HIGH, None]):
        backend.run(executor.save(Ticket(key=key, title=status.name.lower(), status=status, priority=priority)))
    return backend, executor


def test_members_and_uuids_round_trip(tickets):
    backend, executor = tickets
    assert backend.rows("SELECT `key`, status, priority FROM ticket ORDER BY title") == [
        (str(KEYS[2]), "archived", None), (str(KEYS[0]), "draft", 1), (str(KEYS[1]), "published", 5)]
    found = backend.run(executor.findAllBy(Ticket.status == Status.PUBLISHED))
    assert [(t["key"], t["status"], t["priority"]) for t in found] == [(KEYS[1], Status.PUBLISHED, Priority.HIGH)]
    assert type(found[0]["key"]) is uuid.UUID and type(found[0]["priority"]) is Priority
    # A plain value of a member and any spelling of a UUID find the same rows.
    found = backend.run(executor.findAllBy(Ticket.status.In(["draft", Status.ARCHIVED]), orderBy=Ticket.title.asc()))
    assert [t["status"] for t in found] == [Status.ARCHIVED, Status.DRAFT]
    spelled = "{" + KEYS[0].hex.upper() + "}"
    assert [t["title"] for t in backend.run(executor.findAllBy(Ticket.key == spelled))] == ["draft"]
    assert len(backend.run(executor.findAllBy(Ticket.key.In([str(KEYS[1]), KEYS[2]])))) == 2
    values = backend.run(executor.values(Ticket.status, Ticket.key, orderBy=Ticket.title.asc()))
    assert values[0] == {"status": Status.ARCHIVED, "key": KEYS[2]}


def test_update_writes_members_and_uuids(tickets):
    backend, executor = tickets
    ticket = backend.run(executor.findOneBy(Ticket.key == KEYS[0]))
    ticket["status"] = "archived"  # a member's value, as a form gives it
    ticket["priority"] = Priority.HIGH
    ticket["parent"] = str(KEYS[1]).upper()
    backend.run(executor.update(ticket))
    assert backend.rows("SELECT status, priority, parent FROM ticket WHERE title = %s", ("draft",)) == [
        ("archived", 5, str(KEYS[1]))]
    again = backend.run(executor.findOneBy(Ticket.parent == KEYS[1]))
    assert (again["status"], again["parent"]) == (Status.ARCHIVED, KEYS[1])


@pytest.mark.parametrize("column, value", [
    ("status", "DRAFT"),            # a member's name is not its value
    ("status", Priority.LOW),       # another class's member
    ("priority", True),             # equal to no value: bool is not int here
    ("priority", 3),
    ("key", "not-a-uuid"),
    ("key", 12),
])
def test_a_value_the_column_does_not_take_is_refused_before_sending(tickets, column, value):
    backend, executor = tickets
    name = "Status" if column == "status" else "Priority" if column == "priority" else "UUID"
    fresh = Ticket(key=uuid.UUID(int=9), title="new", status=Status.DRAFT)
    fresh[column] = value
    with pytest.raises(ValueError, match=rf"'{column}'.*{name}"):
        backend.run(executor.save(fresh))
    with pytest.raises(ValueError, match=f"'{column}'"):
        getattr(Ticket, column) == value  # noqa: B015 - the condition converts too
    assert backend.rows("SELECT COUNT(*) FROM ticket") == [(3,)]


def test_a_stored_value_that_is_no_member_is_refused_naming_the_column(tickets):
    backend, executor = tickets
    backend.insert("ticket", ["`key`", "title", "status"], [(str(uuid.UUID(int=7)), "odd", "lost")])
    with pytest.raises(ValueError, match=r"EnumProperty 'status' takes members of Status or their values: got 'lost'"):
        backend.run(executor.findAllBy(Ticket.title == "odd"))
    with pytest.raises(ValueError, match="UuidProperty 'key' takes uuid.UUID values or their text: got 'zz'"):
        Ticket.key.fromDBValue("zz")


def test_conversions_of_the_columns():
    assert Ticket.status.toDBValue(Status.DRAFT) == "draft" and Ticket.status.toDBValue(None) is None
    assert Ticket.priority.toDBValue(5) == 5 and Ticket.priority.fromDBValue(5) is Priority.HIGH
    assert Ticket.status.fromDBValue(b"archived") is Status.ARCHIVED
    assert Ticket.key.toDBValue(uuid.UUID(int=255).urn) == "00000000-0000-0000-0000-0000000000ff"
    assert Ticket.key.fromDBValue(str(KEYS[0])) == KEYS[0]
    assert Ticket.status.enum is Status and Ticket.priority.enum is Priority
    # A copy keeps its class; one made by __new__ alone refuses to convert.
    assert copy.copy(Ticket.status).fromDBValue("draft") is Status.DRAFT
    bare = EnumProperty.__new__(EnumProperty)
    with pytest.raises(TypeError, match="never initialised"):
        bare.toDBValue("draft")
    with pytest.raises(AttributeError):
        bare.enum


def test_create_table_text(db):
    if not db.is_sqlite:
        pytest.skip("the text is checked on SQLite; MariaDB runs it in the round trips")
    assert TableGenerator(Ticket).Build()[0] == (
        "CREATE TABLE ticket( \n"
        "   `key` VARCHAR(36) NOT NULL ,\n"
        "   `title` VARCHAR(40) NOT NULL ,\n"
        "   `status` VARCHAR(9) NOT NULL DEFAULT 'draft',\n"
        "   `priority` INT NULL ,\n"
        "   `parent` VARCHAR(36) NULL ,\n"
        "   constraint ticket_pk PRIMARY KEY (`key`)\n"
        ") ;")
    assert (EnumProperty(Status, 20).typeArgs, EnumProperty(Priority).typeArgs) == ((20,), ())
    assert UuidProperty().targetType == "VARCHAR" and UuidProperty().typeArgs == (36,)


class Empty(enum.Enum):
    pass


class Mixed(enum.Enum):
    ONE = 1
    TWO = "two"


class Flags(enum.Enum):
    YES = True
    NO = False


@pytest.mark.parametrize("args, error, message", [
    ((), TypeError, "enum class as its first argument"),
    ((str,), TypeError, "enum.Enum subclass"),
    ((Status.DRAFT,), TypeError, "enum.Enum subclass"),
    ((Empty,), ValueError, "has no members"),
    ((Mixed,), TypeError, "all have str values or all int"),
    ((Flags,), TypeError, "all have str values or all int"),
])
def test_declaration_errors(args, error, message):
    with pytest.raises(error, match=message):
        EnumProperty(*args)


def test_signature_puts_the_enum_class_first():
    parameters = list(inspect.signature(EnumProperty).parameters.values())
    assert parameters[0].name == "enumClass" and parameters[0].kind is inspect.Parameter.POSITIONAL_ONLY
    assert [p.name for p in parameters[1:3]] == ["typeArgs", "isPrimaryKey"]


def test_a_subclass_copies_its_enum_columns():
    class Child(Ticket):
        tableName = "child_ticket"
        extra = IntegerProperty(nullable=True)

    assert Child.status is not Ticket.status and Child.status.enum is Status
    assert Child.status.fromDBValue("published") is Status.PUBLISHED
