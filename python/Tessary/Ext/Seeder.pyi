"""Registered test-data generation tasks and the runner that saves what they generate."""

from typing import Any, Callable, Coroutine, Hashable, Optional, TypeVar

from Tessary.Model.DataModel import DataModel, ModelInstance

_F = TypeVar("_F", bound=Callable[..., Any])

def data_task(model: Optional[type[DataModel]] = None, count: Optional[int] = 1,
              group: Hashable = None) -> Callable[[_F], _F]:
    """Create a data generation task; use as a decorator. The decorated function is called with
    time=1..count and returns the instance to save; it is returned unchanged."""

def create_task(generator: Callable[..., ModelInstance | None], model: Optional[type[DataModel]] = None,
                count: int = 1, group: Hashable = None) -> None:
    """Create a data generation task. A true `group` also files it under that group."""

class RunnerTask:
    """A data generation task."""

    def __init__(self, model: Optional[type[DataModel]], count: int, generator: Callable[..., Any]) -> None: ...
    @property
    def model(self) -> type[DataModel]:
        """The model class; when none was given, learned once from generator(time=1), whose instance is dropped."""

class GeneratorRunner:
    """Data generation executor: picks the asynchronous or the synchronous way from the database connection."""

    def __init__(self, loop: Any = None) -> None: ...
    def run(self) -> None:
        """Run every registered task in registration order. With an asynchronous connector the pass runs on
        `loop`: until complete, or scheduled without waiting when the loop is already running."""
    def arun(self) -> Coroutine[Any, Any, None]:
        """Execute the asynchronous creation: once the connector is ready, each task on a connection of its
        own, committed after the task and given back to the connector (also when the task fails)."""
    def run_group(self, *args: Hashable) -> None:
        """Execute a task group: only the tasks registered under the named groups, each once, in
        registration order, on the same path as run(); unknown groups run nothing."""
