import pathlib
import sys

import pytest

# Tests import the installed module, never a build tree next to the sources.
ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.fixture(scope="session")
def qb():
    import _bindings

    return _bindings
