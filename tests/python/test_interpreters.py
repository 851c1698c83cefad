"""Behaviour that belongs to one kind of interpreter, tested where it applies."""

import platform
import sys

import pytest

from orvantile_cbor import dumps

PYPY = platform.python_implementation() == "PyPy"
INDEX_FIRST = PYPY or sys.version_info < (3, 8)


class IndexAndInt:
    """An index of 3 that converts to 7 through int()."""

    def __index__(self):
        return 3

    def __int__(self):
        return 7


class TruthByInstanceAttribute:
    def __init__(self):
        self.__bool__ = lambda: False


class ListFromGetitem(list):
    def __getitem__(self, index):
        return 7


class TupleFromGetitem(tuple):
    def __getitem__(self, index):
        return 7


class FailingGetitem(list):
    def __getitem__(self, index):
        raise KeyError("no item %d" % index)


FIVE_LEVELS = [[[[[1]]]]]


@pytest.mark.skipif(not INDEX_FIRST, reason="CPython 3.8+ reads max_depth through int()")
def test_max_depth_is_read_through_index_first():
    with pytest.raises(RuntimeError, match=r"^Exceeded recursion limit:3$"):
        dumps(FIVE_LEVELS, max_depth=IndexAndInt())


@pytest.mark.skipif(INDEX_FIRST, reason="CPython 3.7 and PyPy read max_depth through __index__")
def test_max_depth_falls_back_to_int():
    assert dumps(FIVE_LEVELS, max_depth=IndexAndInt()) == dumps(FIVE_LEVELS)


def test_values_are_read_through_index_on_every_interpreter():
    assert dumps([IndexAndInt()]).hex() == "9f03ff"


def test_bool_instance_attribute_is_ignored():
    with pytest.raises(TypeError, match="incompatible function arguments"):
        dumps(TruthByInstanceAttribute())


@pytest.mark.parametrize("kind", [ListFromGetitem, TupleFromGetitem])
def test_sequence_items(kind):
    expected = "9f0707ff" if PYPY else "9f0102ff"
    assert dumps(kind([1, 2])).hex() == expected


def test_failing_getitem():
    if PYPY:
        with pytest.raises(KeyError, match="no item 0"):
            dumps(FailingGetitem([1, 2]))
    else:
        assert dumps(FailingGetitem([1, 2])).hex() == "9f0102ff"
