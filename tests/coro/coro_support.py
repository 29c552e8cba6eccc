"""Awaitables and recorders shared by the coroutine tests."""

import types


class Yielding:
    """An awaitable that yields `values` one by one (recording what is sent
    back), then returns `result`; records close() and thrown exceptions."""

    def __init__(self, *values, result="done", on_throw=None):
        self.values = values
        self.result = result
        self.on_throw = on_throw
        self.sent = []
        self.thrown = []
        self.closed = False

    def __await__(self):
        for value in self.values:
            try:
                self.sent.append((yield value))
            except GeneratorExit:
                self.closed = True
                raise
            except BaseException as exc:
                self.thrown.append(exc)
                if self.on_throw is None:
                    raise
                return self.on_throw
        return self.result


class Calls:
    """A callback that counts its calls."""

    def __init__(self):
        self.count = 0

    def __call__(self):
        self.count += 1


@types.coroutine
def generator_coroutine(value):
    yield "from generator"
    return value
