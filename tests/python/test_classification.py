"""Which CBOR item each kind of Python object becomes, which objects are
refused, how the arguments of dumps are converted, and the module's
attributes."""

import decimal
import enum
import fractions

import pytest

import orvantile_cbor
from orvantile_cbor import dumps

CAST_ERROR = "Unable to cast Python instance to C++ type (compile in debug mode for details)"
RANGE_ERROR = "dumps received an integer out of range for both int64_t and uint64_t"
INCOMPATIBLE = "dumps(): incompatible function arguments"


class Truth:
    """Only a truth slot."""

    def __init__(self, truth):
        self.truth = truth

    def __bool__(self):
        return self.truth


class Index:
    def __init__(self, number):
        self.number = number

    def __index__(self):
        return self.number


class IndexAndTruth(Index):
    def __bool__(self):
        return False


class IntOnly:
    """Only __int__: no truth slot, no __index__."""

    def __init__(self, number):
        self.number = number

    def __int__(self):
        return self.number


class IntAndTruth(IntOnly):
    def __bool__(self):
        return False


class PlainInt(int):
    pass


class Liar(int):
    """An int that never equals the plain int of its own value."""

    def __eq__(self, other):
        return False

    __hash__ = int.__hash__


class Unsure(int):
    def __eq__(self, other):
        return NotImplemented

    __hash__ = int.__hash__


class Failing(int):
    def __eq__(self, other):
        raise ValueError("no comparison")

    __hash__ = int.__hash__


class Colour(enum.IntEnum):
    RED = 1
    HUGE = 2**64 - 1
    COLD = -30


class Mode(enum.IntFlag):
    READ = 4
    WRITE = 2


# object -> hex, at the top level and wherever it is nested
ACCEPTED = [
    pytest.param(True, "f5", id="True-is-not-1"),
    pytest.param(False, "f4", id="False-is-not-0"),
    pytest.param(None, "f6", id="None-is-not-False"),
    pytest.param(Truth(True), "f5", id="truth-slot-true"),
    pytest.param(Truth(False), "f4", id="truth-slot-false"),
    pytest.param(Index(5), "05", id="index"),
    pytest.param(IndexAndTruth(5), "05", id="index-beats-truth"),
    pytest.param(Index(0), "00", id="index-zero"),
    pytest.param(Index(-3), "22", id="negative-index"),
    pytest.param(Index(-(2**63)), "3b7fffffffffffffff", id="index-int64-min"),
    pytest.param(Index(2**63 - 1), "1b7fffffffffffffff", id="index-int64-max"),
    pytest.param(IndexAndTruth(2**64), "f4", id="index-out-of-range-falls-to-truth"),
    pytest.param(IntOnly(7), "07", id="int-only"),
    pytest.param(IntOnly(-7), "26", id="int-only-negative"),
    pytest.param(IntOnly(2**64 - 1), "1bffffffffffffffff", id="int-only-uint64-max"),
    pytest.param(IntAndTruth(7), "f4", id="truth-beats-int"),
    pytest.param(complex(0, 0), "f4", id="complex-zero"),
    pytest.param(complex(1, 2), "f5", id="complex"),
    pytest.param(decimal.Decimal("2.5"), "f5", id="decimal"),
    pytest.param(decimal.Decimal(0), "f4", id="decimal-zero"),
    pytest.param(fractions.Fraction(0), "f4", id="fraction-zero"),
    pytest.param(Colour.RED, "01", id="intenum"),
    pytest.param(Colour.HUGE, "1bffffffffffffffff", id="intenum-huge"),
    pytest.param(Colour.COLD, "381d", id="intenum-negative"),
    pytest.param(Mode.READ | Mode.WRITE, "06", id="intflag"),
    pytest.param(PlainInt(300), "19012c", id="int-subclass"),
    pytest.param(PlainInt(-300), "39012b", id="int-subclass-negative"),
    pytest.param(PlainInt(2**64 - 1), "1bffffffffffffffff", id="int-subclass-uint64-max"),
    pytest.param(PlainInt(-(2**63)), "3b7fffffffffffffff", id="int-subclass-int64-min"),
    pytest.param(Unsure(12), "0c", id="int-subclass-eq-not-implemented"),
]


@pytest.mark.parametrize("value, expected", ACCEPTED)
def test_accepted(value, expected):
    assert dumps(value).hex() == expected
    assert dumps(value, False).hex() == expected
    assert dumps([value, value]).hex() == f"9f{expected}{expected}ff"
    assert dumps((value,), False).hex() == f"81{expected}"
    assert dumps({"k": value}, False).hex() == f"a1616b{expected}"
    assert dumps({value: None}).hex() == f"bf{expected}f6ff"


class IndexFails:
    def __index__(self):
        raise ValueError("no index")


class BadTruth:
    def __bool__(self):
        return 2


class IntFails:
    def __int__(self):
        raise ValueError("no int")


class IntNotInt:
    def __int__(self):
        return "7"


class Forwarding:
    def __getattr__(self, name):
        return 0


REFUSED = [
    pytest.param(bytearray(b"x"), id="bytearray"),
    pytest.param(set(), id="set"),
    pytest.param(frozenset({1}), id="frozenset"),
    pytest.param(object(), id="object"),
    pytest.param(memoryview(b"x"), id="memoryview"),
    pytest.param(Ellipsis, id="ellipsis"),
    pytest.param(int, id="type"),
    # the conversion methods count only where the class defines them
    pytest.param(Forwarding(), id="getattr-forwards-everything"),
    pytest.param(IndexFails(), id="index-raises"),
    pytest.param(Index(2**64), id="index-above-uint64"),
    pytest.param(Index(-(2**63) - 1), id="index-below-int64"),
    pytest.param(BadTruth(), id="truth-not-bool"),
    pytest.param(IntFails(), id="int-raises"),
    pytest.param(IntNotInt(), id="int-returns-str"),
]


@pytest.mark.parametrize("value", REFUSED)
@pytest.mark.parametrize("indefinite", [True, False])
def test_refused_at_top_level(value, indefinite):
    with pytest.raises(TypeError) as caught:
        dumps(value, indefinite)
    assert str(caught.value).startswith(INCOMPATIBLE)


def nestings(value):
    yield [value]
    yield [1, "a", value]
    yield (None, value)
    yield {"k": value}
    yield [{"k": [value]}]
    try:
        yield {value: 1}
    except TypeError:  # unhashable
        pass


@pytest.mark.parametrize("value", REFUSED)
@pytest.mark.parametrize("indefinite", [True, False])
@pytest.mark.parametrize("max_depth", [0, 10])
def test_refused_inside_a_container(value, indefinite, max_depth):
    for container in nestings(value):
        with pytest.raises(RuntimeError) as caught:
            dumps(container, indefinite, max_depth)
        assert str(caught.value) == CAST_ERROR


@pytest.mark.parametrize("text", ["\ud800", "a\udfffb", "\udc80" * 3])
@pytest.mark.parametrize("indefinite", [True, False])
def test_text_without_utf8_form(text, indefinite):
    for value in [text, [text], ["ok", text], {text: 1}, {"k": text}, ((text,),)]:
        with pytest.raises(RuntimeError) as caught:
            dumps(value, indefinite)
        assert type(caught.value) is RuntimeError
        assert str(caught.value) == CAST_ERROR


@pytest.mark.parametrize(
    "value, text",
    [
        (Liar(5), "5"),
        (Liar(-5), "-5"),
        (Liar(2**64 - 1), "18446744073709551615"),
        (Failing(7), "7"),
    ],
)
def test_int_subclass_that_does_not_equal_its_value(value, text):
    for container in [value, [value], {value: 1}]:
        with pytest.raises(RuntimeError) as caught:
            dumps(container)
        assert str(caught.value) == RANGE_ERROR + text


# ---- arguments ------------------------------------------------------------

DEEP = [[1]]  # needs max_depth 2


def depth_error(limit):
    return f"Exceeded recursion limit:{limit}"


class Depth:
    def __index__(self):
        return 1


@pytest.mark.parametrize("max_depth", [0, 4, 10**9, 2**63, 2**64 - 1, False, PlainInt(0)])
@pytest.mark.parametrize("indefinite", [True, False])
def test_max_depth_without_effect(max_depth, indefinite):
    value = [[1, {"a": (2,)}], "x"]  # deepest element at level 4
    assert dumps(value, indefinite, max_depth) == dumps(value, indefinite)
    assert dumps(value, indefinite=indefinite, max_depth=max_depth) == dumps(value, indefinite=indefinite)


@pytest.mark.parametrize("max_depth", [1, True, Depth(), PlainInt(1)])
def test_max_depth_of_one(max_depth):
    assert dumps([[]], max_depth=max_depth).hex() == "9f9fffff"
    with pytest.raises(RuntimeError) as caught:
        dumps(DEEP, max_depth=max_depth)
    assert str(caught.value) == depth_error(1)


@pytest.mark.parametrize("max_depth", [-1, 2**64, 1.0, 0.0, "1", None, [1], complex(1, 0)])
def test_max_depth_refused(max_depth):
    with pytest.raises(TypeError) as caught:
        dumps([1], max_depth=max_depth)
    assert str(caught.value).startswith(INCOMPATIBLE)


@pytest.mark.parametrize(
    "indefinite, expected",
    [
        (True, "9f01ff"),
        (False, "8101"),
        (None, "8101"),
        (0, "8101"),
        (1, "9f01ff"),
        (2.5, "9f01ff"),
        (0.0, "8101"),
        (Truth(False), "8101"),
        (Truth(True), "9f01ff"),
    ],
)
def test_indefinite_conversion(indefinite, expected):
    assert dumps([1], indefinite).hex() == expected
    assert dumps([1], indefinite=indefinite).hex() == expected


@pytest.mark.parametrize("indefinite", ["x", "", [], b"", object()])
def test_indefinite_refused(indefinite):
    with pytest.raises(TypeError) as caught:
        dumps([1], indefinite)
    assert str(caught.value).startswith(INCOMPATIBLE)


# An argument's hook that raises an ordinary error refuses the argument; the
# errors that must reach the caller pass through, as from the value's hooks.
@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError, RecursionError, ValueError])
@pytest.mark.parametrize("argument, hook", [("indefinite", "__bool__"), ("max_depth", "__index__")])
def test_argument_hook_errors(argument, hook, error):
    def raise_error(self):
        raise error("hook")

    with pytest.raises(TypeError if error is ValueError else error) as caught:
        dumps([1], **{argument: type("Hooked", (), {hook: raise_error})()})
    assert str(caught.value).startswith(INCOMPATIBLE) if error is ValueError else caught.value.args == ("hook",)


def test_arguments_by_position_and_keyword():
    expected = "81" + "81" + "01"
    assert dumps([[1]], False, 2).hex() == expected
    assert dumps(value=[[1]], indefinite=False, max_depth=2).hex() == expected
    assert dumps(max_depth=2, indefinite=False, value=[[1]]).hex() == expected
    assert dumps([[1]], False, max_depth=2).hex() == expected
    assert dumps([[1]], max_depth=2, indefinite=False).hex() == expected
    with pytest.raises(RuntimeError, match="^Exceeded recursion limit:1$"):
        dumps([[1]], False, 1)
    with pytest.raises(RuntimeError, match="^Exceeded recursion limit:1$"):
        dumps(value=[[1]], max_depth=1)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((1, True, 0, 4), {}),
        ((1,), {"value": 1}),
        ((1,), {"depth": 1}),
        ((), {"indefinite": True}),
    ],
)
def test_bad_calls(args, kwargs):
    with pytest.raises(TypeError) as caught:
        dumps(*args, **kwargs)
    assert str(caught.value).startswith(INCOMPATIBLE)


SIGNATURE_LINE = (
    "    1. (value: Union[bool, float, int, list, tuple, dict, bytes, str, bool, int, int, str, None], "
    "indefinite: bool = True, max_depth: int = 0) -> bytes\n"
)


class Interrupt(BaseException):
    """Must reach the caller, as KeyboardInterrupt must (which would also stop pytest)."""


class Loud:
    """Refused everywhere; asking for its repr or str is a fault."""

    def __repr__(self):
        described.append("Loud")
        raise Interrupt("repr")

    __str__ = __repr__


described = []


# The arguments are described without running their code: a number, a bool or
# None as it is, anything else by its type's name (cut to 100 characters).
@pytest.mark.parametrize(
    "call, invoked_with",
    [
        pytest.param(lambda: dumps(set()), "<set object>", id="set"),
        pytest.param(lambda: dumps(bytearray(10**7)), "<bytearray object>", id="huge-bytearray"),
        pytest.param(lambda: dumps({"password": "hunter2", "rows": list(range(100000))}, max_depth=-1),
                     "<dict object>; kwargs: max_depth=-1", id="secret-beside-a-wrong-option"),
        pytest.param(lambda: dumps(Loud()), "<Loud object>", id="value"),
        pytest.param(lambda: dumps([1], indefinite=Loud()), "<list object>; kwargs: indefinite=<Loud object>",
                     id="indefinite"),
        pytest.param(lambda: dumps([1], True, Loud()), "<list object>, True, <Loud object>", id="max_depth"),
        pytest.param(lambda: dumps(Loud(), None, 2.5, 10**20 - 1), "<Loud object>, None, 2.5, 99999999999999999999",
                     id="too-many"),
        pytest.param(lambda: dumps(1, False, -(10**20), value=-(10**19)),
                     "1, False, <int object>; kwargs: value=-10000000000000000000", id="value-twice"),
        pytest.param(lambda: dumps(), "", id="nothing"),
        pytest.param(lambda: dumps(indefinite=True, **{"x" * 101: Loud()}),
                     "kwargs: indefinite=True, " + "x" * 100 + "...=<Loud object>", id="unknown-keyword"),
        pytest.param(lambda: dumps(type("N" * 101, (float,), {})(1.0), max_depth=1.0),
                     "<" + "N" * 100 + "... object>; kwargs: max_depth=1.0", id="long-type-name"),
    ],
)
def test_refused_arguments_are_described_without_their_contents(call, invoked_with):
    described.clear()
    with pytest.raises(TypeError) as caught:
        call()
    assert described == []
    assert str(caught.value) == (
        "dumps(): incompatible function arguments. The following argument types are supported:\n"
        + SIGNATURE_LINE
        + "\nInvoked with: "
        + invoked_with
    )


# ---- module ---------------------------------------------------------------


def test_dumps_docstring():
    assert dumps.__doc__ == (
        "dumps(value: Union[bool, float, int, list, tuple, dict, bytes, str, bool, int, int, str, None], "
        "indefinite: bool = True, max_depth: int = 0) -> bytes\n\n\n    Dump a Python object to cbor\n    \n"
    )
    assert dumps.__name__ == "dumps"


def test_module_docstring():
    assert orvantile_cbor.__doc__ == (
        "\n        Orvantile cbor\n        -----------------------\n\n"
        "        .. currentmodule:: orvantile_cbor\n\n"
        "        .. autosummary::\n           :toctree: _generate\n\n           dumps\n    "
    )


def test_version():
    assert orvantile_cbor.__version__ == "6.7.8"
    assert type(orvantile_cbor.__version__) is str


def test_module_attributes():
    names = dir(orvantile_cbor)
    for name in ("__doc__", "dumps", "__version__"):
        assert name in names
    public = [name for name in names if not name.startswith("_")]
    assert public == ["dumps"]
    order = list(vars(orvantile_cbor))
    assert order.index("__doc__") < order.index("dumps") < order.index("__version__")
    assert orvantile_cbor.__name__ == "orvantile_cbor"
    assert type(dumps).__name__ == "builtin_function_or_method"
