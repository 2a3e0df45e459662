import os
import pathlib
import sys

import pytest

# Tests import the installed module, never a build tree next to the sources.
ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.fixture(scope="session")
def qb():
    import _bindings

    return _bindings


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "no_sanitizer(reason): skipped in ./test.sh --sanitize, for tests the sanitizer runtime cannot "
        "take part in (a small address-space limit leaves it no room for its own mappings)")


def pytest_collection_modifyitems(config, items):
    # QEL_SANITIZE_RUN is set by ./test.sh --sanitize.
    if not os.environ.get("QEL_SANITIZE_RUN"):
        return
    for item in items:
        marker = item.get_closest_marker("no_sanitizer")
        if marker is not None:
            reason = marker.args[0] if marker.args else "not run under the sanitizers"
            item.add_marker(pytest.mark.skip(reason="sanitizer run: " + reason))
