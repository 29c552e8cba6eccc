"""python -m Tessary.Ext.Migrate: the migration command line."""

import sys

from Tessary.Ext.Migrate import main

sys.exit(main())
