import importlib.metadata
import inspect
import types

import pytest

import pyvorl
from pyvorl import _vorl

NAMES = ["set_local_zone", "get_local_offset", "check_table_frame", "parse_table_frame", "pack_table_frame"]

DOCS = {
    "pack_table_frame": (
        "(obj, columns, decimal_fields=None, /)",
        "Pack columns into a table frame.\n\nobj: the object name, must not be empty\n"
        "columns: a list of (column name, numpy array)\nReturns the packed table frame",
    ),
    "check_table_frame": (
        "(buffer, /)",
        "Checks if the buffer is a table frame.\n\nReturns the frame size if it is a table frame.",
    ),
    "parse_table_frame": (
        "(buffer, /)",
        "Parses a table frame.\n\nReturns the a tuple of (object name, table), "
        "where table is a dict of (column name, numpy array).",
    ),
    # CPython reports an empty docstring after the signature as None.
    "set_local_zone": ("(tz)", None),
    "get_local_offset": ("()", None),
}


def test_module_lists_functions_in_registration_order():
    assert _vorl.__all__ == NAMES
    assert "\n" not in _vorl.__doc__.strip()


@pytest.mark.parametrize("name", NAMES)
def test_functions_are_builtins_bound_to_module(name):
    function = getattr(_vorl, name)
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__self__ is _vorl
    assert function.__module__ == "pyvorl._vorl"
    assert getattr(pyvorl, name) is function


@pytest.mark.parametrize("name", NAMES)
def test_signatures_and_docstrings(name):
    signature, doc = DOCS[name]
    function = getattr(_vorl, name)
    assert function.__text_signature__ == signature
    assert str(inspect.signature(function)) == signature
    assert function.__doc__ == doc


def test_package_surface():
    assert pyvorl.__all__[:5] == NAMES
    assert pyvorl.__version__ == importlib.metadata.version("pyvorl")


HEADER_12 = b"\x7c\x4d\x01\x00\x0c\x00\x00\x00"


class BytesKind(bytes):
    pass


@pytest.mark.parametrize(
    "buffer, body_length",
    [
        (HEADER_12, 12),
        (HEADER_12 + b"\x00" * 12, 12),
        (HEADER_12 + b"\xff", 12),
        (b"\x7c\x4d\x01\x00\x02\x00\x00\x00", 2),
        (b"\x7c\x4d\x01\x00\xff\xff\xff\xff", 4294967295),
        (b"\x7c\x4d\x01\x00\x00\x00\x00\x00", 0),
        (BytesKind(HEADER_12), 12),
    ],
)
def test_check_table_frame_returns_body_length(buffer, body_length):
    assert pyvorl.check_table_frame(buffer) == body_length


@pytest.mark.parametrize(
    "buffer, message",
    [
        (b"", "buffer is too short"),
        (HEADER_12[:7], "buffer is too short"),
        (b"\x00" * 7, "buffer is too short"),
        (b"\x7c\x4d\x02\x00\x0c\x00\x00\x00", "buffer is not a table frame"),
        (b"\x00\x00\x01\x00\x0c\x00\x00\x00", "buffer is not a table frame"),
        (b"\x4d\x7c\x00\x01\x0c\x00\x00\x00", "buffer is not a table frame"),
    ],
)
def test_check_table_frame_rejects_non_headers(buffer, message):
    with pytest.raises(ValueError) as info:
        pyvorl.check_table_frame(buffer)
    assert str(info.value) == message


@pytest.mark.parametrize("buffer", [bytearray(HEADER_12), memoryview(HEADER_12), "abc"])
def test_check_table_frame_accepts_only_bytes(buffer):
    with pytest.raises(TypeError) as info:
        pyvorl.check_table_frame(buffer)
    expected = f"argument 'buffer': '{type(buffer).__qualname__}' object is not an instance of 'bytes'"
    assert str(info.value) == expected
