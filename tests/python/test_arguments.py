import re

import pytest

from pyvorl._vorl import (
    check_table_frame,
    get_local_offset,
    pack_table_frame,
    parse_table_frame,
    set_local_zone,
)


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: check_table_frame(), "check_table_frame() missing 1 required positional argument: 'buffer'"),
        (lambda: parse_table_frame(), "parse_table_frame() missing 1 required positional argument: 'buffer'"),
        (lambda: pack_table_frame(), "pack_table_frame() missing 2 required positional arguments: 'obj' and 'columns'"),
        (lambda: pack_table_frame("x"), "pack_table_frame() missing 1 required positional argument: 'columns'"),
        (lambda: set_local_zone(), "set_local_zone() missing 1 required positional argument: 'tz'"),
        (lambda: check_table_frame(b"", b""), "check_table_frame() takes 1 positional arguments but 2 were given"),
        (lambda: parse_table_frame(b"", b"", b""), "parse_table_frame() takes 1 positional arguments but 3 were given"),
        (lambda: set_local_zone(1, 2), "set_local_zone() takes 1 positional arguments but 2 were given"),
        (lambda: pack_table_frame("x", [], None, 4),
         "pack_table_frame() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda: check_table_frame(buffer=b""),
         "check_table_frame() got some positional-only arguments passed as keyword arguments: 'buffer'"),
        (lambda: parse_table_frame(buffer=b""),
         "parse_table_frame() got some positional-only arguments passed as keyword arguments: 'buffer'"),
        (lambda: pack_table_frame(obj="x", columns=[]),
         "pack_table_frame() got some positional-only arguments passed as keyword arguments: 'obj' and 'columns'"),
        (lambda: pack_table_frame(decimal_fields=None, columns=[], obj="x"),
         "pack_table_frame() got some positional-only arguments passed as keyword arguments: "
         "'obj', 'columns', and 'decimal_fields'"),
        (lambda: pack_table_frame("x", [], decimal_fields={}),
         "pack_table_frame() got some positional-only arguments passed as keyword arguments: 'decimal_fields'"),
        (lambda: check_table_frame(b"", size=1), "check_table_frame() got an unexpected keyword argument 'size'"),
        (lambda: set_local_zone(x=1), "set_local_zone() got an unexpected keyword argument 'x'"),
        (lambda: set_local_zone(1, tz=1), "set_local_zone() got multiple values for argument 'tz'"),
        # Keywords are judged before the positional count, as in Python functions.
        (lambda: check_table_frame(b"", b"", buffer=b""),
         "check_table_frame() got some positional-only arguments passed as keyword arguments: 'buffer'"),
        (lambda: set_local_zone(1, 2, x=3), "set_local_zone() got an unexpected keyword argument 'x'"),
    ],
)
def test_parser_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert type(info.value) is TypeError


def test_no_argument_function_uses_cpython_message():
    with pytest.raises(TypeError, match=re.escape("get_local_offset() takes no arguments (1 given)")):
        get_local_offset(1)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: check_table_frame("abc"), "argument 'buffer': 'str' object is not an instance of 'bytes'"),
        (lambda: parse_table_frame(bytearray(8)),
         "argument 'buffer': 'bytearray' object is not an instance of 'bytes'"),
        (lambda: parse_table_frame(memoryview(b"")),
         "argument 'buffer': 'memoryview' object is not an instance of 'bytes'"),
        (lambda: parse_table_frame(None), "argument 'buffer': 'None' is not an instance of 'bytes'"),
        (lambda: pack_table_frame(1, []), "argument 'obj': 'int' object is not an instance of 'str'"),
        (lambda: pack_table_frame(None, []), "argument 'obj': 'None' is not an instance of 'str'"),
        (lambda: pack_table_frame("x", ()), "argument 'columns': 'tuple' object is not an instance of 'list'"),
        (lambda: pack_table_frame("x", Outer.Inner()),
         "argument 'columns': 'Outer.Inner' object is not an instance of 'list'"),
        (lambda: pack_table_frame("x", [], []),
         "argument 'decimal_fields': 'list' object is not an instance of 'dict'"),
        (lambda: pack_table_frame("x", [], {1: 2}),
         "argument 'decimal_fields': 'int' object is not an instance of 'str'"),
        (lambda: pack_table_frame("x", [], {"a": 1.5}), "argument 'decimal_fields': an integer is required"),
        (lambda: set_local_zone("3"), "argument 'tz': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_argument_conversion_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("places", [-1, 2**64])
def test_decimal_places_out_of_range_is_not_prefixed(places):
    with pytest.raises(OverflowError) as info:
        pack_table_frame("x", [], {"a": places})
    assert not str(info.value).startswith("argument")


def test_unencodable_object_name_raises_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        pack_table_frame("\ud800", [])


class IndexRaising:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class TypeErrorKind(TypeError):
    pass


def test_prefix_keeps_cause_of_original_error():
    root = ValueError("root")
    error = TypeError("no index")
    error.__cause__ = root
    with pytest.raises(TypeError) as info:
        set_local_zone(IndexRaising(error))
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'tz': no index"
    assert info.value.__cause__ is root


@pytest.mark.parametrize("error", [TypeErrorKind("own kind"), LookupError("lookup")])
def test_other_errors_pass_through_unchanged(error):
    with pytest.raises(type(error)) as info:
        set_local_zone(IndexRaising(error))
    assert info.value is error
