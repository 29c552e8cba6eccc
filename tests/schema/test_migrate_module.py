"""The migration module imports as a package whose __main__ is the command line."""

import Tessary.Ext.Migrate as migrate


def test_the_module_is_a_package_with_a_capsule():
    assert migrate.__path__
    assert type(migrate._C_API).__name__ == "PyCapsule"
