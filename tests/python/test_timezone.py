import subprocess
import sys

import pytest

from pyvorl import get_local_offset, set_local_zone

HOUR = 3_600_000_000


def test_fresh_process_starts_at_eight_hours_east():
    code = "import pyvorl; print(pyvorl.get_local_offset())"
    output = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    assert output.strip() == "28800000000"


@pytest.mark.parametrize(
    "call, offset",
    [
        (lambda: set_local_zone(-5), -18_000_000_000),
        (lambda: set_local_zone(25), 25 * HOUR),
        (lambda: set_local_zone(-25), -25 * HOUR),
        (lambda: set_local_zone(0), 0),
        (lambda: set_local_zone(True), HOUR),
        (lambda: set_local_zone(tz=3), 3 * HOUR),
    ],
)
def test_accepted_zones(restore_offset, call, offset):
    assert call() is None
    assert get_local_offset() == offset


@pytest.mark.parametrize(
    "tz, error, message",
    [
        (26, ValueError, "invalid timezone"),
        (-26, ValueError, "invalid timezone"),
        (127, ValueError, "invalid timezone"),
        (-128, ValueError, "invalid timezone"),
        (128, OverflowError, "out of range integral type conversion attempted"),
        (200, OverflowError, "out of range integral type conversion attempted"),
        (-129, OverflowError, "out of range integral type conversion attempted"),
        (2**63, OverflowError, "Python int too large to convert to C long"),
        (2**70, OverflowError, "Python int too large to convert to C long"),
        ("3", TypeError, "argument 'tz': 'str' object cannot be interpreted as an integer"),
        (3.0, TypeError, "argument 'tz': 'float' object cannot be interpreted as an integer"),
        (None, TypeError, "argument 'tz': 'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_rejected_zones_leave_offset_unchanged(restore_offset, tz, error, message):
    set_local_zone(-7)
    with pytest.raises(error) as info:
        set_local_zone(tz)
    assert type(info.value) is error
    assert str(info.value) == message
    assert get_local_offset() == -7 * HOUR


@pytest.mark.parametrize("call", [lambda: set_local_zone(1, tz=1), lambda: set_local_zone(1, 2), lambda: set_local_zone(x=1)])
def test_parser_errors_leave_offset_unchanged(restore_offset, call):
    set_local_zone(-7)
    with pytest.raises(TypeError):
        call()
    assert get_local_offset() == -7 * HOUR
