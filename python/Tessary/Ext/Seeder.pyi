"""Registered test-data generation tasks and the runner that saves what they generate."""

import asyncio
import enum
from collections.abc import Coroutine
from typing import Any, Callable, Hashable, Optional, Type, TypeVar, Union

from Tessary.Model.DataModel import DataModel, ModelInstance

_F = TypeVar("_F", bound=Callable[..., Optional[ModelInstance]])

class RunnerTask:
    """A data generation task: `count` instances of `model` made by `generator(time=1..count)`."""

    def __init__(self, model: Optional[Type[DataModel]], count: int, generator: Callable[..., Optional[ModelInstance]]) -> None: ...
    @property
    def model(self) -> Type[DataModel]:
        """The model class; learned from the generator's first instance when none was given."""

class GeneratorRunner:
    """Data generation executor: picks the asynchronous or the synchronous way from the database connection."""

    def __init__(self, loop: Optional[asyncio.AbstractEventLoop] = None) -> None: ...
    def run(self) -> None:
        """Run every registered task, synchronously or on the event loop as the connector calls for."""
    def arun(self) -> Coroutine[Any, Any, None]:
        """Execute the asynchronous creation (a coroutine)."""
    def run_group(self, *groups: Hashable) -> None:
        """Run only the tasks registered under the named groups, each once, in registration order."""

def data_task(model: Optional[Type[DataModel]] = None, count: Optional[int] = 1,
              group: Union[str, enum.Enum, None] = None) -> Callable[[_F], _F]:
    """Create a data generation task; use as a decorator."""

def create_task(generator: Callable[..., Optional[ModelInstance]], model: Optional[Type[DataModel]] = None,
                count: int = 1, group: Union[str, enum.Enum, None] = None) -> None:
    """Create a data generation task."""
