"""Schema migrations: inspect a database, diff it against the models, plan and
apply the statements, and keep versioned migration files."""

from typing import Any

# -- the schema of a database and of the models (inspect) ---------------------

# -- differences between a database and the models (diff) ---------------------

# -- the statements of operations (Operations, plan) ---------------------------

# -- migration files, their runner and the command line -----------------------
