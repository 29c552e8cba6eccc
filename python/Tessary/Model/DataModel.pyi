"""Model classes, model instances and instance lists."""

from typing import Any, Mapping, Sequence, overload

from Tessary.Model.ModelProperty import BaseProperty, ForeignKey

class ModelMeta(type):
    """Metaclass of model classes.

    Creating a class binds its columns and relations in declaration order (columns
    of model bases first) and sets `col`, `fk`, `pkCol`, `pkName` and `tableName`.
    Calling a model class returns a ModelInstance, never an instance of the class.
    """

    @overload
    def __call__(cls, row: Sequence[Any], /) -> ModelInstance: ...
    @overload
    def __call__(cls, mapping: Mapping[str, Any], /) -> ModelInstance: ...
    @overload
    def __call__(cls, **values: Any) -> ModelInstance: ...

class _DataModel(metaclass=ModelMeta):
    tableName: str
    pkName: str | None
    pkCol: BaseProperty | None
    col: tuple[BaseProperty, ...]
    fk: tuple[ForeignKey, ...]
    @classmethod
    def getExecutor(cls, con: Any = None) -> Any:
        """A new ModelExecutor (or AsyncModelExecutor for an asynchronous connector) of this model."""
    @classmethod
    def getOtherFkBy(cls, owner: type[_DataModel]) -> ForeignKey:
        """The relation of this junction model that leads away from `owner`."""

class DataModel(_DataModel): ...
class MiddleDataModel(DataModel): ...

class ModelInstance(dict[str, Any]):
    """A dict of column and relation values; keys also read and write as attributes."""

    object: type[_DataModel] | None
    def copy(self) -> ModelInstance: ...
    def __getattr__(self, name: str) -> Any: ...
    def __setattr__(self, name: str, value: Any) -> None: ...

class InstanceList(list[ModelInstance]): ...

_models: list[Any]

def _restore_instance(type: type[ModelInstance], model: type[_DataModel] | None,
                      items: Mapping[str, Any]) -> ModelInstance: ...
