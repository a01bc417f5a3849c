import pytest

import galtro_core


@pytest.fixture
def state():
    """A fresh, empty coordination state."""
    return galtro_core.CoordinationState()
