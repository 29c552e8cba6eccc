"""Errors raised by the statement builder."""

__all__ = ["SqlInStanceError", "SetSQLError", "WhereSQLError", "SqlMissingRelationshipError"]

_KINDS = {0: "SELECT", 1: "INSERT", 2: "DELETE", 3: "UPDATE", 4: "UNSET"}


class SqlInStanceError(Exception):
    """A statement kind was chosen twice, or a condition is not a condition.

    Built with (current kind, requested kind) as integers, or without arguments.
    """

    def __str__(self):
        if len(self.args) == 2:
            current, requested = self.args
            return (f"the builder already makes a {_KINDS.get(current, current)} statement; "
                    f"cannot start a {_KINDS.get(requested, requested)} statement")
        return "invalid condition: a single cell that is not a group is not a condition"


class SetSQLError(Exception):
    """`set` was called before a statement kind was chosen."""

    def __str__(self):
        return "set() needs a statement kind: call update() first"


class WhereSQLError(Exception):
    """`where` was called before a statement kind was chosen."""

    def __str__(self):
        return "where() needs a statement kind: call select(), insert(), update() or delete() first"


class SqlMissingRelationshipError(Exception):
    """Two cells of a filter chain follow each other with no AND/OR between them.

    Built with (cell value, text of the next cell).
    """

    def __str__(self):
        if len(self.args) == 2:
            return f"no AND/OR between the condition value {self.args[0]!r} and {self.args[1]}"
        return "missing AND/OR between two conditions"
