"""Model classes, model instances and instance lists."""

from typing import Any, Generic, Iterable, Mapping, Self, Sequence, TypeVar, overload

from _typeshed import SupportsKeysAndGetItem

from Tessary.DB.Connector import AioSqliteConnection
from Tessary.Model.Carrack import AsyncModelExecutor, ModelExecutor
from Tessary.Model.ModelProperty import BaseProperty, ForeignKey, Index

_M = TypeVar("_M", bound=_DataModel)

class ModelMeta(type):
    """Metaclass of model classes.

    Creating a class binds its columns and relations in declaration order (columns
    of model bases first) and sets `col`, `fk`, `pkCol`, `pkName`, `tableName` and
    `indexes`. Calling a model class returns a ModelInstance, never an instance of the class.
    """

    @property
    def foreignKeyConstraints(cls) -> tuple[tuple[str, str, str, str, str], ...]:
        """The FOREIGN KEY constraints written in this model's table, in column order: tuples
        (name, column, refTable, refColumn, onDelete), e.g. ("fk_post_user_id", "user_id",
        "user", "id", "CASCADE"). They come from the relations declared with constraint=True on
        any model (a ONE_TO_MANY relation of User puts its constraint in Post's table; a
        MANY_TO_MANY relation its two in the junction's). Computed on each read, since a relation
        may name a model declared later: ValueError when a constraint would reference a column
        that is neither a primary key nor unique, or SET NULL a column that is not nullable."""

    @overload
    def __call__(cls: type[_M], row: Sequence[Any], /) -> ModelInstance[_M]: ...  # type: ignore[misc]
    @overload
    def __call__(cls: type[_M], mapping: Mapping[str, Any], /) -> ModelInstance[_M]: ...  # type: ignore[misc]
    @overload
    def __call__(cls: type[_M], **values: Any) -> ModelInstance[_M]: ...  # type: ignore[misc]

class _DataModel(metaclass=ModelMeta):
    # For type checkers that do not follow ModelMeta.__call__ (mypy 1.0): the values a model
    # takes; calling the class still gives a ModelInstance, never an instance of it.
    def __init__(self, *row: Any, **values: Any) -> None: ...
    def __getattr__(self, name: str) -> Any: ...
    tableName: str
    pkName: str | None
    pkCol: BaseProperty[Any] | None
    col: tuple[BaseProperty[Any], ...]
    fk: tuple[ForeignKey, ...]
    # Declared as a tuple or list of Index (names of this model's columns, checked when the
    # class is created: TypeError/ValueError); read back as a tuple of Index naming columns.
    indexes: tuple[Index, ...]
    # Declared by a model stored outside the handle's database: the name a connector was
    # registered under (DB.getInstance().register(name, connector)), read when a statement is made.
    database: str | None
    # Which executor comes back depends on the connector in use, which no static type shows:
    # without a connection the synchronous one is assumed (the default connector is synchronous);
    # code on an asynchronous connector names AsyncModelExecutor[Model] where it awaits.
    @overload
    @classmethod
    def getExecutor(cls, con: AioSqliteConnection) -> AsyncModelExecutor[Self]: ...  # type: ignore[misc]
    @overload
    @classmethod
    def getExecutor(cls, con: Any = None) -> ModelExecutor[Self]:
        """A new ModelExecutor (or AsyncModelExecutor for an asynchronous connector) of this model:
        on `con`'s connector when given, else on the connector of its `database`."""
    @classmethod
    def getOtherFkBy(cls, owner: type[_DataModel]) -> ForeignKey:
        """The relation of this junction model that leads away from `owner`."""

class DataModel(_DataModel): ...
class MiddleDataModel(DataModel): ...

class ModelInstance(dict[str, Any], Generic[_M]):
    """A dict of column and relation values; keys also read and write as attributes.

    An instance of model `User` is a ModelInstance[User], never a `User` (`isinstance` is
    false). Its attributes read as Any: which keys a given model's instances hold, and the
    type of each, are known only at run time (the column's Python type is the type
    parameter of the model's property, e.g. `User.age` is an IntegerProperty, a
    BaseProperty[int])."""

    object: type[_M] | None
    def copy(self) -> ModelInstance[_M]: ...
    def changed(self) -> set[str]:
        """The model's columns assigned (by key, attribute, update(), setdefault(), |=) since the
        instance was loaded, made, saved or updated, and still held by it; a new set each call."""
    # As dict's, recording the keys given as assigned.
    def update(self, other: SupportsKeysAndGetItem[str, Any] | Iterable[tuple[str, Any]] = (), /,
               **kwargs: Any) -> None: ...
    def setdefault(self, key: str, default: Any = None, /) -> Any: ...
    def __getattr__(self, name: str) -> Any: ...
    def __setattr__(self, name: str, value: Any) -> None: ...

class InstanceList(list[ModelInstance[_M]], Generic[_M]): ...

_models: list[Any]

def _restore_instance(type: type[ModelInstance], model: type[_DataModel] | None,
                      items: Mapping[str, Any]) -> ModelInstance: ...
