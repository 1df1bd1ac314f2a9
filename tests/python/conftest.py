"""Fixtures shared by the test modules."""

import pytest

from pyvorl import get_local_offset, set_local_zone

HOUR = 3_600_000_000


@pytest.fixture
def restore_offset():
    """Puts the process-wide local offset back as the test found it."""
    saved = get_local_offset()
    yield
    set_local_zone(saved // HOUR)


@pytest.fixture
def utc(restore_offset):
    """Runs the test with the local offset at 0, so datetimes come back as stored."""
    set_local_zone(0)
