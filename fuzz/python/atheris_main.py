"""The start of every Python fuzzer: a fixed local zone, so that a finding
replays the same on any machine, then atheris over the command line."""

import sys

import atheris

from pyvorl import set_local_zone


def fuzz(test_one_input):
    set_local_zone(0)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
