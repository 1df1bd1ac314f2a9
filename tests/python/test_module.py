"""The module's surface: registration, argument parsing, the header check and the local offset."""

import importlib.metadata
import subprocess
import sys
import types

import pytest

import pyvorl
from pyvorl._vorl import check_table_frame, get_local_offset, pack_table_frame, set_local_zone

NAMES = ["set_local_zone", "get_local_offset", "check_table_frame", "parse_table_frame", "pack_table_frame"]
HOUR = 3_600_000_000
HEADER_12 = b"\x7c\x4d\x01\x00\x0c\x00\x00\x00"


def test_functions_are_registered_in_order_as_bound_builtins():
    assert pyvorl._vorl.__all__ == NAMES
    for name in NAMES:
        function = getattr(pyvorl._vorl, name)
        assert isinstance(function, types.BuiltinFunctionType) and function.__self__ is pyvorl._vorl
        assert getattr(pyvorl, name) is function or name == "set_local_zone"  # pyvorl's own raises only ValueError
    assert pyvorl.__version__ == importlib.metadata.version("pyvorl")


def test_fresh_process_state_and_subinterpreters():
    # The extension files are loaded directly: importing the package would stop at NumPy,
    # which refuses subinterpreters too. Their NumPy table and container type are process-wide.
    inner = """if True:
        import importlib.machinery, importlib.util
        loader = importlib.machinery.ExtensionFileLoader(NAME, ORIGIN)
        try:
            importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
        except ImportError as error:
            print(error)"""
    code = f"""if True:
        import importlib.util
        import pyvorl
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        print(pyvorl.get_local_offset())
        for name in ("pyvorl._vorl", "pyvorl._codec"):
            inner = {inner!r}.replace("NAME", repr(name)).replace("ORIGIN", repr(importlib.util.find_spec(name).origin))
            interpreters.run_string(interpreters.create(), inner)"""
    lines = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout.split("\n")
    assert lines[:3] == [
        "28800000000",
        "module pyvorl._vorl does not support loading in subinterpreters",
        "module pyvorl._codec does not support loading in subinterpreters",
    ]


KEYWORDS = "@() got some positional-only arguments passed as keyword arguments: "
INSTANCE = "argument '{}': '{}' object is not an instance of '{}'"


ARGUMENT_ERRORS = [
    ("check_table_frame()", "@() missing 1 required positional argument: 'buffer'"),
    ("pack_table_frame()", "@() missing 2 required positional arguments: 'obj' and 'columns'"),
    ("check_table_frame(b'', b'')", "@() takes 1 positional arguments but 2 were given"),
    ("pack_table_frame('x', [], None, 4)", "@() takes from 2 to 3 positional arguments but 4 were given"),
    ("parse_table_frame(buffer=b'')", KEYWORDS + "'buffer'"),
    (
        "pack_table_frame(decimal_fields=None, columns=[], obj='x')",
        KEYWORDS + "'obj', 'columns', and 'decimal_fields'",
    ),
    ("check_table_frame(b'', size=1)", "@() got an unexpected keyword argument 'size'"),
    ("set_local_zone(1, tz=1)", "@() got multiple values for argument 'tz'"),
    # Keywords are judged before the positional count, as in Python functions.
    ("set_local_zone(1, 2, x=3)", "@() got an unexpected keyword argument 'x'"),
    ("check_table_frame('abc')", INSTANCE.format("buffer", "str", "bytes")),
    ("parse_table_frame(None)", "argument 'buffer': 'None' is not an instance of 'bytes'"),
    ("pack_table_frame('x', ())", INSTANCE.format("columns", "tuple", "list")),
    ("pack_table_frame('x', [], [])", INSTANCE.format("decimal_fields", "list", "dict")),
    ("pack_table_frame('x', [], {1: 2})", INSTANCE.format("decimal_fields", "int", "str")),
    ("pack_table_frame('x', [], {'a': 1.5})", "argument 'decimal_fields': an integer is required"),
]


@pytest.mark.parametrize("call, message", ARGUMENT_ERRORS)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        eval(call, vars(pyvorl._vorl))
    assert type(info.value) is TypeError and str(info.value) == message.replace("@", call.split("(")[0])


def test_a_function_without_parameters_uses_the_cpython_message():
    with pytest.raises(TypeError, match=r"get_local_offset\(\) takes no arguments \(1 given\)$"):
        get_local_offset(1)


@pytest.mark.parametrize("places", [-1, 2**64])
def test_decimal_places_out_of_range_are_not_prefixed(places):
    with pytest.raises(OverflowError) as info:
        pack_table_frame("x", [], {"a": places})
    assert not str(info.value).startswith("argument")


def index_raising(error):
    return type("IndexRaising", (), {"__index__": lambda self: (_ for _ in ()).throw(error)})()


def test_the_prefix_keeps_the_cause_and_other_errors_pass_through():
    root, error = ValueError("root"), TypeError("no index")
    error.__cause__ = root
    with pytest.raises(TypeError) as info:
        set_local_zone(index_raising(error))
    assert (type(info.value), str(info.value), info.value.__cause__) == (TypeError, "argument 'tz': no index", root)
    for other in (type("TypeErrorKind", (TypeError,), {})("own kind"), LookupError("lookup")):
        with pytest.raises(type(other)) as info:
            set_local_zone(index_raising(other))
        assert info.value is other


HEADERS = [
    (HEADER_12, 12),
    (type("BytesKind", (bytes,), {})(HEADER_12 + b"\xff"), 12),
    (b"\x7c\x4d\x01\x00\xff\xff\xff\xff", 4294967295),
    (HEADER_12[:7], "buffer is too short"),
    (b"\x7c\x4d\x02\x00\x0c\x00\x00\x00", "buffer is not a table frame"),
]


@pytest.mark.parametrize("buffer, result", HEADERS)
def test_check_table_frame(buffer, result):
    if isinstance(result, int):
        assert check_table_frame(buffer) == result
        return
    with pytest.raises(ValueError) as info:
        check_table_frame(buffer)
    assert str(info.value) == result


@pytest.mark.parametrize("tz, offset", [(-5, -18_000_000_000), (25, 25 * HOUR), (True, HOUR)])
def test_accepted_zones(restore_offset, tz, offset):
    assert set_local_zone(tz) is None
    assert get_local_offset() == offset
    set_local_zone(tz=3)
    assert get_local_offset() == 3 * HOUR


REFUSED_ZONES = [
    (26, ValueError, "invalid timezone"),
    (128, OverflowError, "out of range integral type conversion attempted"),
    (2**63, OverflowError, "Python int too large to convert to C long"),
    ("3", TypeError, "argument 'tz': 'str' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize("tz, error, message", REFUSED_ZONES)
def test_refused_zones_leave_the_offset_unchanged(restore_offset, tz, error, message):
    set_local_zone(-7)
    with pytest.raises(error) as info:
        set_local_zone(tz)
    assert (type(info.value), str(info.value)) == (error, message)
    assert get_local_offset() == -7 * HOUR
