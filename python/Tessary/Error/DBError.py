"""Errors raised by write operations that would touch rows unsafely."""


class DeleteWithOutPrimaryKeyError(Exception):
    """A delete was asked for without a filter and without a primary-key value."""

    def __str__(self):
        return "refusing to delete: no filter and no primary-key value given"


class UpdateWithOutPrimaryKeyError(Exception):
    """An update was asked for an instance that carries no primary-key value."""

    def __str__(self):
        return "refusing to update: the instance carries no primary-key value"
