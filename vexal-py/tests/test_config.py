import math
import weakref

import numpy as np
import pytest
from conftest import raises_exactly

from _vexal import Config, Environment, Solver, Spacecraft

DEFAULTS = {
    Spacecraft: {
        "wet_mass": 2000.0,
        "fuel": 1700.0,
        "real_max_thrust": 24000.0,
        "min_thrust_pct": 0.2,
        "max_thrust_pct": 0.8,
        "max_velocity": 1000.0,
        "initial_position": [450.0, -330.0, 2400.0],
        "initial_velocity": [-40.0, 10.0, -10.0],
        "target_velocity": [0.0, 0.0, 0.0],
        "target_position": [0.0, 0.0, 0.0],
        "fuel_consumption": 0.0005,
    },
    Environment: {
        "gravity": [0.0, 0.0, -3.71],
        "glide_slope_angle_deg": 0.0,
        "max_angle_deg": 90.0,
    },
    Solver: {"n": 100, "time_of_flight": None, "tof_min": None, "tof_max": None},
}
FIELDS = [(cls, name) for cls, fields in DEFAULTS.items() for name in fields]
# A value of the right kind for every field, different from its default.
SAMPLE = {float: -0.125, list: [1.5, -2.0, 1e300], int: 7, type(None): 12.5}


def sample(cls, name):
    return SAMPLE[type(DEFAULTS[cls][name])]


def fields_of(obj):
    return {name: getattr(obj, name) for name in DEFAULTS[type(obj)]}


@pytest.mark.parametrize("cls", DEFAULTS)
def test_defaults_and_declared_order(cls):
    obj = cls()
    assert fields_of(obj) == DEFAULTS[cls]
    declared = [k for k in cls.__dict__ if not k.startswith("__")]
    assert declared == list(DEFAULTS[cls])


def test_config_defaults_are_default_records():
    c = Config()
    for name, cls in [("spacecraft", Spacecraft), ("environment", Environment), ("solver", Solver)]:
        value = getattr(c, name)
        assert type(value) is cls
        assert fields_of(value) == DEFAULTS[cls]


@pytest.mark.parametrize("cls,name", FIELDS)
def test_round_trip_by_keyword_and_by_assignment(cls, name):
    value = sample(cls, name)
    assert getattr(cls(**{name: value}), name) == value
    obj = cls()
    setattr(obj, name, value)
    assert getattr(obj, name) == value
    # only that field changed
    others = {k: v for k, v in fields_of(obj).items() if k != name}
    assert others == {k: v for k, v in DEFAULTS[cls].items() if k != name}


def test_positional_arguments_follow_declared_order():
    s = Spacecraft(1.0, 2.0, 3.0, 4.0, 5.0, 6.0, [1, 1, 1], [2, 2, 2], [3, 3, 3], [4, 4, 4], 7.0)
    assert list(fields_of(s).values()) == [
        1.0, 2.0, 3.0, 4.0, 5.0, 6.0, [1.0] * 3, [2.0] * 3, [3.0] * 3, [4.0] * 3, 7.0,
    ]
    assert Solver(5).n == 5
    assert fields_of(Solver(3, 1.0, 2.0, 4.0)) == {
        "n": 3, "time_of_flight": 1.0, "tof_min": 2.0, "tof_max": 4.0,
    }


class FloatLike:
    def __float__(self):
        return 2.5


class IndexLike:
    def __index__(self):
        return 9


class Triple:
    """A sequence known only by __len__ and __getitem__."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if not isinstance(i, int):
            raise TypeError("index must be an int")
        return [1, 2, 3][i]


@pytest.mark.parametrize(
    "value,expected",
    [(3, 3.0), (True, 1.0), (np.float32(0.5), 0.5), (np.int64(4), 4.0), (FloatLike(), 2.5),
     (IndexLike(), 9.0), (float("inf"), math.inf), (-0.0, -0.0)],
)
def test_float_conversions(value, expected):
    got = Spacecraft(wet_mass=value).wet_mass
    assert type(got) is float and got == expected
    assert math.copysign(1, got) == math.copysign(1, expected)


@pytest.mark.parametrize(
    "value",
    [(0, 0, -1.62), [0, 0, -1.62], np.array([0, 0, -1.62]), Triple(), range(3)],
)
def test_vector_conversions(value):
    got = Environment(gravity=value).gravity
    assert type(got) is list and all(type(x) is float for x in got)
    assert got == [float(value[i]) for i in range(3)]


def test_nan_and_negative_values_are_stored_unchanged():
    s = Spacecraft(wet_mass=float("nan"), fuel=-5.0)
    assert math.isnan(s.wet_mass) and s.fuel == -5.0
    assert Solver(n=0).n == 0 and Solver(n=2**64 - 1).n == 2**64 - 1


NOT_SEQ = "'{}' object is not an instance of 'Sequence'"
REJECTED = [
    # (class, parameter, value, exception, message or None for the interpreter's)
    (Spacecraft, "wet_mass", None, TypeError, None),
    (Spacecraft, "fuel", "1.0", TypeError, None),
    (Spacecraft, "fuel", 10**400, OverflowError, None),
    (Spacecraft, "initial_position", 5, TypeError, NOT_SEQ.format("int")),
    (Spacecraft, "initial_position", None, TypeError, "'None' is not an instance of 'Sequence'"),
    (Spacecraft, "target_position", {0: 1, 1: 2, 2: 3}, TypeError, NOT_SEQ.format("dict")),
    (Environment, "gravity", [1, 2], ValueError, "expected a sequence of length 3 (got 2)"),
    (Environment, "gravity", (1, 2, 3, 4), ValueError, "expected a sequence of length 3 (got 4)"),
    (Environment, "gravity", "abc", TypeError, None),
    (Environment, "gravity", [1, 2, None], TypeError, None),
    (Solver, "n", 5.0, TypeError, None),
    (Solver, "n", None, TypeError, None),
    (Solver, "n", -1, OverflowError, None),
    (Solver, "n", 2**64, OverflowError, None),
    (Solver, "time_of_flight", "10", TypeError, None),
    (Config, "spacecraft", Environment(), TypeError,
     "'Environment' object is not an instance of 'Spacecraft'"),
    (Config, "environment", None, TypeError, "'None' is not an instance of 'Environment'"),
    (Config, "solver", 3, TypeError, "'int' object is not an instance of 'Solver'"),
]


@pytest.mark.parametrize("cls,name,value,exc,message", REJECTED)
def test_rejected_values_by_constructor_and_assignment(cls, name, value, exc, message):
    note = f"while processing '{name}'"
    raises_exactly(lambda: cls(**{name: value}), exc, message, note)
    obj = cls()
    before = getattr(obj, name)
    raises_exactly(lambda: setattr(obj, name, value), exc, message, note)
    after = getattr(obj, name)
    if cls is Config:
        assert fields_of(after) == fields_of(before)
    else:
        assert after == before


def test_failing_item_leaves_vector_unchanged():
    e = Environment()
    with pytest.raises(TypeError):
        e.gravity = [1.0, 2.0, "x"]
    assert e.gravity == [0.0, 0.0, -3.71]


def test_none_means_absent_only_for_optional_floats():
    s = Solver(time_of_flight=3.0)
    s.time_of_flight = None
    assert s.time_of_flight is None


BINDING = [
    (lambda: Spacecraft(*range(12)), "Spacecraft.__new__() takes from 0 to 11 positional arguments but 12 were given"),
    (lambda: Environment(1, 2, 3, 4), "Environment.__new__() takes from 0 to 3 positional arguments but 4 were given"),
    (lambda: Solver(1, 2, 3, 4, 5), "Solver.__new__() takes from 0 to 4 positional arguments but 5 were given"),
    (lambda: Config(1, 2, 3, 4), "Config.__new__() takes from 0 to 3 positional arguments but 4 were given"),
    (lambda: Solver(steps=3), "Solver.__new__() got an unexpected keyword argument 'steps'"),
    (lambda: Solver(5, n=6), "Solver.__new__() got multiple values for argument 'n'"),
    # too many positional arguments are reported before keyword problems
    (lambda: Config(1, 2, 3, 4, bogus=1), "Config.__new__() takes from 0 to 3 positional arguments but 4 were given"),
    # keywords are checked in the order given, before the values are converted
    (lambda: Spacecraft(fuel=None, bogus=1), "Spacecraft.__new__() got an unexpected keyword argument 'bogus'"),
    (lambda: Config.from_json("{}", "{}"), "Config.from_json() takes 1 positional arguments but 2 were given"),
    (lambda: Config.from_json(), "Config.from_json() missing 1 required positional argument: 's'"),
    (lambda: Config.from_json(text="{}"), "Config.from_json() got an unexpected keyword argument 'text'"),
    (lambda: Config.from_json("{}", s="{}"), "Config.from_json() got multiple values for argument 's'"),
]


@pytest.mark.parametrize("call,message", BINDING)
def test_argument_binding_errors(call, message):
    raises_exactly(call, TypeError, message)


def test_reads_are_fresh_copies():
    c = Config()
    s = c.spacecraft
    assert s is not c.spacecraft
    s.wet_mass = 1.0
    assert c.spacecraft.wet_mass == 2000.0
    c.spacecraft = s
    assert c.spacecraft.wet_mass == 1.0
    s.wet_mass = 3.0  # the Config holds its own copy
    assert c.spacecraft.wet_mass == 1.0
    position = s.initial_position
    position.append(9.0)
    position[0] = 0.0
    assert s.initial_position == [450.0, -330.0, 2400.0]


def test_constructor_copies_records():
    solver = Solver(n=7)
    c = Config(solver=solver)
    solver.n = 8
    assert c.solver.n == 7


@pytest.mark.parametrize("cls,name", FIELDS + [(Config, "solver")])
def test_properties_cannot_be_deleted(cls, name):
    raises_exactly(lambda: delattr(cls(), name), AttributeError, "property has no deleter")


@pytest.mark.parametrize("cls", [Spacecraft, Environment, Solver, Config])
def test_class_shape(cls):
    obj = cls()
    with pytest.raises(AttributeError):
        obj.other = 1
    with pytest.raises(AttributeError):
        obj.other
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == cls.__name__
    assert obj != cls() and obj == obj


SIGNATURES = {
    Spacecraft: "(wet_mass=2000.0, fuel=1700.0, real_max_thrust=24000.0, min_thrust_pct=0.2, "
    "max_thrust_pct=0.8, max_velocity=1000.0, initial_position=..., initial_velocity=..., "
    "target_velocity=..., target_position=..., fuel_consumption=5e-4)",
    Environment: "(gravity=..., glide_slope_angle_deg=0.0, max_angle_deg=90.0)",
    Solver: "(n=100, time_of_flight=None, tof_min=None, tof_max=None)",
    Config: "(spacecraft=..., environment=..., solver=...)",
}


@pytest.mark.parametrize("cls", SIGNATURES)
def test_docstrings_carry_only_the_signature(cls):
    assert cls.__text_signature__ == SIGNATURES[cls]
    assert not cls.__doc__


def test_property_docstrings():
    assert Solver.time_of_flight.__doc__ == (
        "Discretization horizon. `None` ⇒ `solve` searches for the fuel-optimal\n"
        "time-of-flight (see [`crate::search`])."
    )
    assert Solver.tof_min.__doc__ == "Lower bound for the time-of-flight search. `None` ⇒ auto-bracket."
    assert Solver.tof_max.__doc__ == "Upper bound for the time-of-flight search. `None` ⇒ auto-bracket."
    undocumented = [(c, n) for c, n in FIELDS if n not in ("time_of_flight", "tof_min", "tof_max")]
    assert all(getattr(c, n).__doc__ is None for c, n in undocumented)
    assert Config.solver.__doc__ is None


def test_json_methods_signatures():
    assert Config.to_json.__text_signature__ == "($self)"
    assert Config.from_json.__text_signature__ == "(s)"
    assert Config.to_json.__doc__ is None and Config.from_json.__doc__ is None


def test_json_round_trip_is_exact():
    c = Config(
        spacecraft=Spacecraft(wet_mass=0.1 + 0.2, initial_position=[1e-300, -0.0, 5e15]),
        environment=Environment(max_angle_deg=12.345678901234567),
        solver=Solver(n=2**64 - 1, time_of_flight=1.0 / 3.0, tof_max=1e16),
    )
    back = Config.from_json(c.to_json())
    assert type(back) is Config and back.to_json() == c.to_json()
    for record in ("spacecraft", "environment", "solver"):
        assert fields_of(getattr(back, record)) == fields_of(getattr(c, record))
    assert math.copysign(1, back.spacecraft.initial_position[1]) == -1


def test_json_of_default_config():
    text = Config().to_json()
    assert text.startswith('{\n  "spacecraft": {\n    "wet_mass": 2000.0,')
    assert text.endswith('    "tof_max": null\n  }\n}')
    assert len(text.split("\n")) == 46
    assert fields_of(Config.from_json(text).solver) == DEFAULTS[Solver]


class Text(str):
    pass


@pytest.mark.parametrize(
    "s,exc,message,note",
    [
        (b"{}", TypeError, "'bytes' object is not an instance of 'str'", "while processing 's'"),
        (None, TypeError, "'None' is not an instance of 'str'", "while processing 's'"),
        ("\udc80", UnicodeEncodeError, None, "while processing 's'"),
        ("", ValueError, "EOF while parsing a value at line 1 column 0", None),
        ('{"solver": {"n": 1, "n": 1}}', ValueError, "duplicate field `n` at line 1 column 23", None),
        ("{} x", ValueError, "trailing characters at line 1 column 4", None),
    ],
)
def test_from_json_errors(s, exc, message, note):
    raises_exactly(lambda: Config.from_json(s), exc, message, note)


def test_from_json_accepts_str_subclass_and_keyword():
    assert Config.from_json(Text('{"solver": {"n": 50}}')).solver.n == 50
    assert Config.from_json(s="[]").solver.n == 100
