import sys

import pytest


@pytest.fixture
def refcount():
    """Returns sys.getrefcount, for tests that check references are balanced."""
    return sys.getrefcount
