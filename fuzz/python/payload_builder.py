"""Builds table payloads from fuzzer choices.

Mutating raw bytes rarely gets past the first few fields, and the decoder's
own branches give the fuzzer no coverage when the extension is not
instrumented. Choosing the payload's structure here, with counts and
lengths that are usually honest and sometimes hostile, lets the Python
branches of this builder steer the search through the layout instead.
"""

import sys
from pathlib import Path

import atheris

# The payload encoding is written once, in the test suite's frame builder.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "python"))
from frames import MAGIC_VERSION, varint, zigzag  # noqa: E402

LARGEST = (1 << 64) - 1
HOSTILE_COUNTS = [1 << 60, LARGEST, 1 << 32, 251, 65536]
KNOWN_KEYS = ["obj", "table", "x"]


class PayloadBuilder:
    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)

    def chance(self, percent):
        return self.fdp.ConsumeIntInRange(0, 99) < percent

    def count(self, honest):
        """The number written before `honest` items: usually true, at times a lie."""
        if self.chance(90):
            return varint(honest)
        return varint(
            self.fdp.PickValueInList(HOSTILE_COUNTS) if self.chance(50) else self.fdp.ConsumeIntInRange(0, 300)
        )

    def unsigned(self, bits):
        if self.chance(5):
            # Markers that the 32-bit or any form refuses, and cut-off forms.
            return self.fdp.PickValueInList([b"\xfe", b"\xff", b"\xfd", b"\xfb\x01", b"\xfc"])
        limit = (1 << bits) - 1
        return varint(
            self.fdp.ConsumeIntInRange(0, min(limit, 300)) if self.chance(60) else self.fdp.ConsumeIntInRange(0, limit)
        )

    def signed(self, bits):
        if self.chance(5):
            return self.unsigned(bits)
        low, high = -(1 << (bits - 1)), (1 << (bits - 1)) - 1
        value = self.fdp.ConsumeIntInRange(-130, 130) if self.chance(60) else self.fdp.ConsumeIntInRange(low, high)
        return varint(zigzag(value) & ((1 << bits) - 1))

    def string(self, utf8=True):
        if utf8 and self.chance(90):
            data = self.fdp.ConsumeUnicodeNoSurrogates(self.fdp.ConsumeIntInRange(0, 12)).encode()
        else:
            data = self.fdp.ConsumeBytes(self.fdp.ConsumeIntInRange(0, 12))
        return self.count(len(data)) + data

    def tag(self, honest):
        return varint(honest if self.chance(95) else self.fdp.ConsumeIntInRange(12, 300))

    def variant(self):
        tag = self.fdp.ConsumeIntInRange(0, 12)
        payload = {
            0: lambda: b"",
            1: lambda: self.signed(64),
            2: lambda: self.signed(64),
            3: lambda: self.fdp.ConsumeBytes(8),
            4: lambda: self.fdp.ConsumeBytes(8),
            5: lambda: self.string(),
            6: lambda: bytes([self.fdp.ConsumeIntInRange(0, 2)]),
            7: lambda: self.signed(32),
            8: lambda: self.unsigned(32),
            9: lambda: self.unsigned(64),
            10: lambda: self.fdp.ConsumeBytes(4),
            11: lambda: self.string(utf8=False),
            12: lambda: b"",
        }[tag]()
        return varint(tag) + payload

    def metadata(self):
        choice = self.fdp.ConsumeIntInRange(0, 9)
        if choice < 5:
            return b"\x00"
        if choice == 9:
            return bytes([self.fdp.ConsumeIntInRange(2, 255)])
        entries = self.fdp.ConsumeIntInRange(0, 4)
        return b"\x01" + self.count(entries) + b"".join(self.entry() for _ in range(entries))

    def entry(self):
        """One metadata key and its value; a key the reader knows, half of the time."""
        if self.chance(50):
            return self.string() + self.variant()
        key = self.fdp.PickValueInList(KNOWN_KEYS).encode()
        return varint(len(key)) + key + self.variant()

    def length(self):
        """The number of values in one column."""
        return self.fdp.ConsumeIntInRange(0, 20)

    def elements(self, element):
        length = self.length()
        return self.count(length) + b"".join(element() for _ in range(length))

    def compact(self):
        # Both compact forms: N = values + 1, then one parameter (scale or
        # step) and one signed number per value (base and differences).
        values = self.length()
        if values == 0 and self.chance(30):
            return b"\x00"
        return self.count(values + 1) + b"".join(self.signed(64) for _ in range(values + 1))

    def series(self, tag):
        bodies = {
            0: lambda: b"",
            1: self.compact,
            2: lambda: self.elements(lambda: self.signed(64)),
            3: lambda: self.elements(lambda: self.fdp.ConsumeBytes(8)),
            4: self.compact,
            5: lambda: self.elements(self.string),
            6: lambda: self.elements(lambda: bytes([self.fdp.ConsumeIntInRange(0, 1 if self.chance(95) else 255)])),
            7: lambda: self.elements(lambda: self.signed(32)),
            8: lambda: self.elements(lambda: self.unsigned(32)),
            9: lambda: self.elements(lambda: self.unsigned(64)),
            10: lambda: self.elements(lambda: self.fdp.ConsumeBytes(4)),
            11: lambda: self.elements(lambda: self.string(utf8=False)),
        }
        return bodies.get(tag, lambda: b"")()

    def field(self):
        column = self.fdp.ConsumeIntInRange(0, 11)
        data_type = column if self.chance(90) else self.fdp.ConsumeIntInRange(0, 11)
        return self.string() + self.tag(data_type) + self.metadata() + self.tag(column) + self.series(column)

    def content(self):
        magic_version = varint(MAGIC_VERSION) if self.chance(90) else self.unsigned(32)
        fields = self.fdp.ConsumeIntInRange(0, 5)
        body = magic_version + self.count(fields) + b"".join(self.field() for _ in range(fields))
        body += self.metadata() + bytes([0 if self.chance(80) else self.fdp.ConsumeIntInRange(1, 255)])
        if not self.chance(90):  # so that an input used up leaves the payload whole
            body = body[: self.fdp.ConsumeIntInRange(0, len(body))]
        return body + self.fdp.ConsumeBytes(self.fdp.ConsumeIntInRange(0, 4))
