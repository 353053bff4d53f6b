import datetime as dt
import math

import pytest
from qrd_craft import ChannelRow, qrd_bytes

from quillrun_sdk import Channel, ChannelUnit, NavFile, Unit

UTC = dt.timezone.utc
T1 = dt.datetime(2024, 5, 1, 12, 0, 0, tzinfo=UTC)
T2 = dt.datetime(2024, 5, 1, 12, 0, 0, 250000, tzinfo=UTC)
T3 = dt.datetime(2024, 5, 1, 12, 0, 1, tzinfo=UTC)


def notes(e):
    return getattr(e, "__notes__", [])


def raises(exc, call, *args, **kwargs):
    with pytest.raises(exc) as info:
        call(*args, **kwargs)
    return info.value


# ---------------------------------------------------------------- scalar and vector


def test_scalar_channel():
    c = Channel("speed", [T1, T2], [1.0, 2.0])
    assert c.name == "speed"
    assert c.is_vector is False and c.components == []
    assert c.unit is None and c.period_deg is None and c.description is None
    assert c.times == [T1, T2] and all(t.tzinfo is UTC for t in c.times)
    assert c.values == [1.0, 2.0] and all(type(v) is float for v in c.values)
    assert repr(c) == 'Channel(name="speed", samples=2, components=0)'


def test_vector_channel_keeps_values_row_major_in_given_order():
    c = Channel("imu", [T1, T2], [6.0, 5.0, 4.0, 3.0, 2.0, 1.0], components=["x", "y", "z"])
    assert c.is_vector is True and c.components == ["x", "y", "z"]
    assert c.values == [6.0, 5.0, 4.0, 3.0, 2.0, 1.0]
    assert repr(c) == 'Channel(name="imu", samples=2, components=3)'


@pytest.mark.parametrize(
    "times, width, count",
    [(2, 3, 5), (2, 3, 7), (4, 3, 11), (4, None, 3), (0, None, 1), (0, 2, 1), (1, 1, 0)],
)
def test_value_count_must_be_times_by_width(times, width, count):
    components = None if width is None else [f"c{i}" for i in range(width)]
    expected = times * (width or 1)
    e = raises(ValueError, Channel, "imu", [T1] * times, [0.0] * count, components=components)
    assert str(e) == f'channel "imu": expected {expected} values but got {count}'
    assert notes(e) == []


@pytest.mark.parametrize("times, width", [(4, 3), (4, None), (0, None), (0, 2), (1, 1)])
def test_exact_value_count_passes(times, width):
    components = None if width is None else [f"c{i}" for i in range(width)]
    c = Channel("imu", [T3] * times, [0.5] * (times * (width or 1)), components=components)
    assert len(c.times) == times and len(c.values) == times * (width or 1)


def test_values_must_be_flat():
    e = raises(TypeError, Channel, "imu", [T1, T2], [[1.0, 2.0], [3.0, 4.0]], components=["x", "y"])
    assert notes(e) == ["while processing 'values'"]
    rows = [[1.0, 2.0], [3.0, 4.0]]
    flat = Channel("imu", [T1, T2], [v for row in rows for v in row], components=["x", "y"])
    assert flat.values == [1.0, 2.0, 3.0, 4.0]


def test_values_take_ints_float_like_objects_nan_and_infinities():
    class Half:
        def __float__(self):
            return 0.5

    class Three:
        def __index__(self):
            return 3

    c = Channel("x", [T1] * 6, [1, Half(), Three(), float("nan"), float("inf"), -0.0])
    values = c.values
    assert values[:3] == [1.0, 0.5, 3.0] and type(values[0]) is float
    assert math.isnan(values[3]) and values[4] == math.inf
    assert math.copysign(1.0, values[5]) == -1.0


def test_times_convert_offsets_and_old_dates():
    before_1970 = dt.datetime(1969, 12, 31, 23, 59, 59, 999999, tzinfo=UTC)
    plus_one = dt.datetime(2024, 1, 1, 1, 0, tzinfo=dt.timezone(dt.timedelta(hours=1)))
    far = dt.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC)
    c = Channel("x", [before_1970, plus_one, far, T1], [0, 1, 2, 3])
    # Times keep the caller's order; no rule applies to them.
    assert c.times == [before_1970, dt.datetime(2024, 1, 1, tzinfo=UTC), far, T1]
    assert c.times[1].tzinfo is UTC


def test_times_may_repeat_and_run_backwards():
    assert Channel("x", [T2, T1, T1], [1, 2, 3]).times == [T2, T1, T1]


# ---------------------------------------------------------------- list arguments


@pytest.mark.parametrize("param", ["times", "values", "components"])
def test_a_str_is_no_list(param):
    args = {"times": [T1], "values": [1.0], "components": None}
    args[param] = "abc"
    e = raises(TypeError, Channel, "x", args["times"], args["values"], components=args["components"])
    assert str(e) == "Can't extract `str` to `Vec`"
    assert notes(e) == [f"while processing '{param}'"]


def test_a_str_subclass_is_no_list():
    class Text(str):
        pass

    e = raises(TypeError, Channel, "x", [], Text(""))
    assert str(e) == "Can't extract `str` to `Vec`"


class Bag:
    """Iterable but no sequence."""

    def __iter__(self):
        return iter([1.0])


@pytest.mark.parametrize(
    "value, text",
    [
        ({1.0}, "'set' object is not an instance of 'Sequence'"),
        ((v for v in [1.0]), "'generator' object is not an instance of 'Sequence'"),
        ({0: 1.0}, "'dict' object is not an instance of 'Sequence'"),
        (1.0, "'float' object is not an instance of 'Sequence'"),
        (Bag(), "'Bag' object is not an instance of 'Sequence'"),
        (None, "'None' is not an instance of 'Sequence'"),
    ],
)
def test_not_a_sequence(value, text):
    e = raises(TypeError, Channel, "x", [T1], value)
    assert str(e) == text
    assert notes(e) == ["while processing 'values'"]


def test_not_a_sequence_names_the_qualified_type_name():
    class Inner:
        pass

    e = raises(TypeError, Channel, "x", Inner(), [])
    assert str(e) == f"'{Inner.__qualname__}' object is not an instance of 'Sequence'"
    assert "<locals>" in str(e)


def test_tuples_ranges_and_the_sequence_protocol_are_accepted():
    class Samples:
        """A sequence whose len() fails: it is only a hint."""

        def __getitem__(self, i):
            if i >= 3:
                raise IndexError(i)
            return float(i)

        def __len__(self):
            raise RuntimeError("no length")

    c = Channel("x", (T1, T2, T3), Samples(), components=("a",))
    assert c.values == [0.0, 1.0, 2.0] and c.components == ["a"]
    assert Channel("x", [T1, T2], range(2)).values == [0.0, 1.0]


def test_an_item_error_ends_the_call():
    class Broken:
        def __getitem__(self, i):
            raise KeyError("broken")

        def __len__(self):
            return 1

    e = raises(KeyError, Channel, "x", [T1], Broken())
    assert notes(e) == ["while processing 'values'"]


def test_items_of_the_wrong_kind():
    e = raises(TypeError, Channel, "x", [T1], [1.0], components=["a", 5])
    assert str(e) == "'int' object is not an instance of 'str'"
    assert notes(e) == ["while processing 'components'"]
    e = raises(TypeError, Channel, "x", [T1, "2024-05-01"], [1.0, 2.0])
    assert notes(e) == ["while processing 'times'"]
    e = raises(TypeError, Channel, "x", [dt.datetime(2024, 5, 1)], [1.0])
    assert str(e) == "expected a datetime with non-None tzinfo"
    assert notes(e) == ["while processing 'times'"]
    e = raises(TypeError, Channel, "x", [T1], ["1.0"])
    assert notes(e) == ["while processing 'values'"]


# ---------------------------------------------------------------- options


def test_options_and_their_conversion_errors():
    c = Channel("x", [T1], [1.0], unit="deg", period_deg=360, description="heading, wrapped")
    assert c.period_deg == 360.0 and type(c.period_deg) is float
    assert c.description == "heading, wrapped"
    e = raises(TypeError, Channel, "x", [T1], [1.0], period_deg="360")
    assert notes(e) == ["while processing 'period_deg'"]
    e = raises(TypeError, Channel, "x", [T1], [1.0], description=b"bytes")
    assert str(e) == "'bytes' object is not an instance of 'str'"
    assert notes(e) == ["while processing 'description'"]
    e = raises(TypeError, Channel, 5, [T1], [1.0])
    assert str(e) == "'int' object is not an instance of 'str'"
    assert notes(e) == ["while processing 'name'"]


def test_none_is_the_same_as_leaving_an_option_out():
    given = Channel("x", [T1], [1.0], unit=None, period_deg=None, description=None, components=None)
    assert given == Channel("x", [T1], [1.0])
    assert given.components == [] and given.is_vector is False


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: Channel(), "Channel.__new__() missing 3 required positional arguments: 'name', 'times', and 'values'"),
        (lambda: Channel("x", [T1]), "Channel.__new__() missing 1 required positional argument: 'values'"),
        (lambda: Channel("x", [T1], [1.0], "m"), "Channel.__new__() takes 3 positional arguments but 4 were given"),
        (lambda: Channel("x", [T1], [1.0], units="m"), "Channel.__new__() got an unexpected keyword argument 'units'"),
        (lambda: Channel("x", [T1], [1.0], name="y"), "Channel.__new__() got multiple values for argument 'name'"),
    ],
)
def test_argument_matching(call, text):
    assert str(raises(TypeError, call)) == text


def test_required_arguments_by_keyword():
    c = Channel(values=[1.0], times=[T1], name="x")
    assert c.name == "x" and c.values == [1.0]


# ---------------------------------------------------------------- unit


def test_unit_forms():
    kph = Channel("x", [T1], [1.0], unit="kph").unit
    assert type(kph) is ChannelUnit and kph.label == "km/h" and kph.is_custom is False
    assert Channel("x", [T1], [1.0], unit=Unit.KM_PER_H).unit == kph
    assert Channel("x", [T1], [1.0], unit=ChannelUnit.recognized(" km/h")).unit == kph
    assert repr(kph) == 'ChannelUnit("km/h")'
    rpm = Channel("x", [T1], [1.0], unit=ChannelUnit.custom("rpm")).unit
    assert rpm.is_custom is True and rpm == ChannelUnit.custom("rpm")


@pytest.mark.parametrize("text", ["rpm", "KM/H", "", " "])
def test_unit_text_outside_the_catalog(text):
    e = raises(ValueError, Channel, "x", [T1], [1.0], unit=text)
    assert str(e) == f'unrecognized channel unit "{text}"; use ChannelUnit::custom for a display-only unit'
    assert notes(e) == []


@pytest.mark.parametrize("unit", [5, 1.0, b"m", ["m"], Unit])
def test_unit_of_another_type(unit):
    e = raises(ValueError, Channel, "x", [T1], [1.0], unit=unit)
    assert str(e) == "unit must be a recognized string or ChannelUnit.custom(...)"
    assert notes(e) == []


def test_every_unit_access_makes_new_objects():
    c = Channel("x", [T1], [1.0], unit="m", components=["a"])
    assert c.unit == c.unit and c.unit is not c.unit
    for getter in ("times", "values", "components"):
        assert getattr(c, getter) == getattr(c, getter)
        assert getattr(c, getter) is not getattr(c, getter)
    c.values.append(2.0)
    assert c.values == [1.0]


# ---------------------------------------------------------------- wrap period


@pytest.mark.parametrize(
    "unit", [Unit.DEG, "deg", "\u00b0", "degrees", " deg ", ChannelUnit.recognized("degree")]
)
def test_wrap_period_with_the_angular_unit(unit):
    c = Channel("heading", [T1], [359.0], unit=unit, period_deg=360.0)
    assert c.period_deg == 360.0 and c.unit.label == "deg"


@pytest.mark.parametrize("period", [360.0, 5e-324, 1e308])
def test_any_finite_positive_period_passes(period):
    assert Channel("heading", [], [], unit=Unit.DEG, period_deg=period).period_deg == period


@pytest.mark.parametrize("unit", [None, Unit.M, "m", Unit.MS, ChannelUnit.custom("deg E")])
def test_wrap_period_needs_the_angular_unit(unit):
    e = raises(ValueError, Channel, "heading", [T1], [1.0], unit=unit, period_deg=360.0)
    assert str(e) == 'channel "heading": wrap period requires a recognized angular unit'


@pytest.mark.parametrize("period", [0.0, -0.0, -1.0, float("nan"), float("inf"), float("-inf")])
@pytest.mark.parametrize("unit", [Unit.DEG, None, Unit.M])
def test_bad_wrap_period_whatever_the_unit(period, unit):
    e = raises(ValueError, Channel, "heading", [T1], [1.0], unit=unit, period_deg=period)
    assert str(e) == 'channel "heading": wrap period must be finite and positive'


# ---------------------------------------------------------------- channel rules


@pytest.mark.parametrize("name", ["speed", "_x", "imu_2", "a"])
def test_valid_names(name):
    assert Channel(name, [], []).name == name


@pytest.mark.parametrize("name", ["Speed", "2x", "a-b", "", "caf\u00e9", "a b"])
def test_invalid_names(name):
    e = raises(ValueError, Channel, name, [], [])
    assert str(e) == (
        f'invalid channel name "{name}": must be a lowercase identifier '
        "(a lowercase letter or underscore, then lowercase letters, digits, or underscores)"
    )


@pytest.mark.parametrize(
    "components, text",
    [
        ([], 'channel "imu": a vector channel needs at least one component'),
        (["x", "y", "x"], 'channel "imu": duplicate component label "x"'),
        (["x", "Y", "x"], 'channel "imu": invalid component label "Y": must be a lowercase identifier'),
        (["x", ""], 'channel "imu": invalid component label "": must be a lowercase identifier'),
    ],
)
def test_component_rules(components, text):
    assert str(raises(ValueError, Channel, "imu", [], [], components=components)) == text


def test_description_with_a_nul_byte():
    e = raises(ValueError, Channel, "x", [], [], description="ab\x00c\x00")
    assert str(e) == 'channel "x": the description has a nul byte at offset 2'


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        # Conversions in parameter order: name, times, values, period_deg, description, components.
        (dict(name=5, times="t", values="v"), TypeError, "while processing 'name'"),
        (dict(times="t", values="v"), TypeError, "while processing 'times'"),
        (dict(values=["v"], period_deg="p", description=5), TypeError, "while processing 'values'"),
        (dict(period_deg="p", description=5, components=5, unit=5), TypeError, "while processing 'period_deg'"),
        (dict(description=5, components=5, unit=5), TypeError, "while processing 'description'"),
        (dict(components=5, unit=5), TypeError, "while processing 'components'"),
        # Then the unit, before every channel rule.
        (dict(name="Bad", unit="rpm", components=[]), ValueError, "unrecognized channel unit"),
        (dict(name="Bad", unit=5, values=[1.0, 2.0]), ValueError, "unit must be"),
        # Then the core's rules: name, description, components, value count, period.
        (dict(name="Bad", description="\x00", components=[], period_deg=-1.0), ValueError, "invalid channel name"),
        (dict(description="\x00", components=[], period_deg=-1.0), ValueError, "the description has a nul byte"),
        (dict(components=[], values=[1.0, 2.0], period_deg=-1.0), ValueError, "needs at least one component"),
        (dict(values=[1.0, 2.0], period_deg=-1.0), ValueError, "expected 1 values but got 2"),
        (dict(period_deg=-1.0), ValueError, "wrap period must be finite and positive"),
    ],
)
def test_order_of_checks(kwargs, error, text):
    args = dict(name="x", times=[T1], values=[1.0])
    args.update(kwargs)
    e = raises(error, Channel, **args)
    assert text in (str(e) if error is ValueError else notes(e)[0])


# ---------------------------------------------------------------- equality


def base(**changes):
    args = dict(
        name="imu", times=[T1, T2], values=[1.0, 2.0, 3.0, 4.0], components=["x", "y"], unit="m/s2",
        period_deg=None, description="accelerometer",
    )
    args.update(changes)
    return Channel(args.pop("name"), args.pop("times"), args.pop("values"), **args)


def test_equal_by_value():
    assert base() == base() and not base() != base()
    assert base(unit=Unit.M_PER_S2) == base(unit="m/s^2")


@pytest.mark.parametrize(
    "changes",
    [
        dict(name="imu2"),
        dict(times=[T1, T3]),
        dict(values=[1.0, 2.0, 3.0, 5.0]),
        dict(components=["y", "x"]),
        dict(unit=None),
        dict(unit="mm/s2"),
        dict(unit=ChannelUnit.custom("m/s per s")),
        dict(description=None),
        dict(description="accelerometer "),
        dict(unit="deg", period_deg=360.0),
    ],
)
def test_each_field_counts(changes):
    assert base() != base(**changes) and not base() == base(**changes)


def test_nan_and_signed_zero():
    nan = base(values=[1.0, 2.0, 3.0, float("nan")])
    assert nan != nan and not nan == nan
    assert base(values=[0.0, 2.0, 3.0, 4.0]) == base(values=[-0.0, 2.0, 3.0, 4.0])


def test_other_types_orderings_and_hash():
    c = base()
    assert (c == 5) is False and (c != 5) is True
    assert c != ChannelUnit.custom("x")
    for op in ("<", "<=", ">", ">="):
        with pytest.raises(TypeError):
            eval(f"c {op} c")
    with pytest.raises(TypeError):
        hash(c)
    with pytest.raises(TypeError):
        {c}
    assert Channel.__hash__ is None


# ---------------------------------------------------------------- class


def test_class_and_getter_docs():
    assert Channel.__module__ == "builtins" and Channel.__name__ == "Channel"
    assert Channel.__text_signature__ == (
        "(name, times, values, *, unit=None, period_deg=None, description=None, components=None)"
    )
    assert Channel.unit.__doc__ == "The declared unit as a :class:`ChannelUnit`, or `None`."
    assert Channel.period_deg.__doc__ == (
        "The wrap period in degrees for an angular channel, or `None` if linear.\n\n"
        "A `deg` channel without a period holds an unbounded angle."
    )
    assert Channel.description.__doc__ == "A human description of what the channel records, or `None`."
    assert Channel.components.__doc__ == "The vector component labels, or an empty list for a scalar channel."
    assert Channel.is_vector.__doc__ == "Whether this is a vector channel (has named components)."
    assert Channel.times.__doc__ == "The sample timestamps, one per row of `values`."
    assert Channel.values.__doc__ == "The sample values, row-major: `len(times)` rows by component count."
    with pytest.raises(TypeError):
        type("Sub", (Channel,), {})
    with pytest.raises(AttributeError):
        base().name = "other"


def test_bypassing_the_constructor_is_refused(run_isolated):
    out = run_isolated(
        """
        import datetime as dt
        from quillrun_sdk import Channel
        Channel.__new__ = lambda cls, *a, **k: object.__new__(cls)
        c = Channel("x", [], [])
        for use in (repr, lambda c: c.values, lambda c: c.unit, lambda c: c == c):
            try:
                use(c)
            except TypeError as e:
                print(e)
        del c
        """
    )
    assert out.splitlines() == ["'Channel' object is not initialized"] * 4


# ---------------------------------------------------------------- units read from a file


def read_unit(stored):
    nav = NavFile.from_bytes(qrd_bytes(channels=[ChannelRow("c", [0], [1.0], unit=stored)]))
    return nav.channels[0].unit


def test_a_legacy_unit_is_refused_for_a_new_channel():
    legacy = read_unit(" rpm")
    e = raises(ValueError, Channel, "x", [T1], [1.0], unit=legacy)
    assert str(e) == 'channel "x": legacy unit metadata " rpm" is not valid writer input'
    assert notes(e) == []
    # After the name and description rules, before the components and counts.
    assert "invalid channel name" in str(raises(ValueError, Channel, "X", [], [], unit=legacy))
    assert "description" in str(raises(ValueError, Channel, "x", [], [], unit=legacy, description="\x00"))
    assert "legacy unit" in str(raises(ValueError, Channel, "x", [], [1.0], unit=legacy, components=[]))


def test_a_unit_read_as_custom_or_recognized_is_taken():
    assert Channel("x", [], [], unit=read_unit("rpm")).unit == ChannelUnit.custom("rpm")
    assert Channel("x", [], [], unit=read_unit("kph")).unit.label == "km/h"
