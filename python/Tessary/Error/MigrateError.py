"""Errors of schema migrations (Tessary.Ext.Migrate)."""


class MigrationError(Exception):
    """A migration could not be planned, applied or rolled back; the message
    names the migration, the step and the statement where there is one."""


class DestructiveChangeError(MigrationError):
    """The plan holds steps that lose data (a dropped table or column, a
    narrowed type, NOT NULL on a column holding NULLs), and they were not
    allowed; the message names each."""
