"""Errors raised by query operations."""


class QueryResoutIsNotOne(Exception):
    """A query that must return exactly one row returned none or several."""

    def __init__(self, *args):
        super().__init__(*args)

    def __str__(self):
        return "the query did not return exactly one row"


class QueryNotDefine(Exception):
    """A query operation was used that the executor does not define."""

    def __str__(self):
        return "query not defined" + (f": {self.args[0]}" if self.args else "")
