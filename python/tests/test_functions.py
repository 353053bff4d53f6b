import math
import struct

import pytest

from quillrun_sdk import _quillrun_sdk as m
from quillrun_sdk.enums import Constellation, MarkerIcon

KMH_FACTOR = struct.unpack(">d", bytes.fromhex("3FD1C71C71C71C72"))[0]
KNOTS_FACTOR = struct.unpack(">d", bytes.fromhex("3FE07654320FEDCC"))[0]


def test_factors_are_the_doubles_nearest_to_their_ratios():
    assert KMH_FACTOR == 1000 / 3600
    assert KNOTS_FACTOR == 1852 / 3600


@pytest.mark.parametrize(
    "fn, value, expected",
    [
        (m.mps_from_kmh, 23.2, 6.444444444444445),  # 23.2 / 3.6 is 6.444444444444444
        (m.kmh_from_mps, 1.0, 3.5999999999999996),
        (m.kmh_from_mps, 10, 36.0),
        (m.kmh_from_mps, -1.0, -3.5999999999999996),  # -1.0 is no conversion failure
        (m.knots_from_mps, 1.0, 1.9438444924406046),
        (m.mps_from_knots, 1.0, 0.5144444444444445),
        (m.mps_from_knots, -1, -0.5144444444444445),
        (m.kmh_from_mps, 0.0, 0.0),
        (m.kmh_from_mps, float("inf"), float("inf")),
        (m.mps_from_kmh, float("-inf"), float("-inf")),
    ],
)
def test_speed_conversions_to_the_last_bit(fn, value, expected):
    result = fn(value)
    assert type(result) is float
    assert struct.pack(">d", result) == struct.pack(">d", expected)


@pytest.mark.parametrize("value", [0.1, 1.0, 7.25, 23.2, 99.9, 1e300, 5e-324])
def test_conversions_are_one_operation_each(value):
    assert m.mps_from_kmh(value) == value * KMH_FACTOR
    assert m.kmh_from_mps(value) == value / KMH_FACTOR
    assert m.mps_from_knots(value) == value * KNOTS_FACTOR
    assert m.knots_from_mps(value) == value / KNOTS_FACTOR


def test_conversions_take_keywords_and_float_like_objects():
    class Speed:
        def __float__(self):
            return 2.0

    class Index:
        def __index__(self):
            return 3

    assert m.kmh_from_mps(mps=2.0) == 2.0 / KMH_FACTOR
    assert m.mps_from_kmh(kmh=Speed()) == 2.0 * KMH_FACTOR
    assert m.mps_from_knots(knots=Index()) == 3 * KNOTS_FACTOR
    assert m.knots_from_mps(True) == 1 / KNOTS_FACTOR
    assert math.isnan(m.kmh_from_mps(float("nan")))


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: m.kmh_from_mps(), "kmh_from_mps() missing 1 required positional argument: 'mps'"),
        (lambda: m.kmh_from_mps(1, 2), "kmh_from_mps() takes 1 positional arguments but 2 were given"),
        (lambda: m.kmh_from_mps(kph=1), "kmh_from_mps() got an unexpected keyword argument 'kph'"),
        (lambda: m.kmh_from_mps(1, mps=2), "kmh_from_mps() got multiple values for argument 'mps'"),
        (lambda: m.mps_from_kmh(mps=1), "mps_from_kmh() got an unexpected keyword argument 'mps'"),
        (lambda: m.snr_is_no_data_sentinel(), "snr_is_no_data_sentinel() missing 1 required positional argument: 'snr'"),
        (lambda: m.marker_icon_from_name("a", "b"), "marker_icon_from_name() takes 1 positional arguments but 2 were given"),
        (lambda: m.constellation_from_name(nme="gps"), "constellation_from_name() got an unexpected keyword argument 'nme'"),
    ],
)
def test_argument_errors(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == text
    assert not hasattr(info.value, "__notes__")


def test_functions_without_parameters_refuse_arguments():
    with pytest.raises(TypeError):
        m._rust_sdk_enum_members(1)


@pytest.mark.parametrize(
    "fn, param", [(m.kmh_from_mps, "mps"), (m.mps_from_kmh, "kmh"), (m.mps_from_knots, "knots"),
                  (m.knots_from_mps, "mps"), (m.snr_is_no_data_sentinel, "snr")]
)
def test_conversion_failure_keeps_its_exception_and_gains_a_note(fn, param):
    with pytest.raises(TypeError) as info:
        fn("x")
    assert str(info.value) == "must be real number, not str"
    assert info.value.__notes__ == [f"while processing '{param}'"]

    class Broken:
        def __float__(self):
            raise ZeroDivisionError("inside __float__")

    with pytest.raises(ZeroDivisionError) as info:
        fn(Broken())
    assert info.value.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize(
    "snr, expected",
    [
        (99.0, True),
        (99, True),
        (99.4999, True),
        (98.5001, True),
        (99.5, False),
        (98.5, False),
        (99.49999999, False),  # rounds to 99.5 as a 32-bit float
        (98.50000001, False),  # rounds to 98.5
        (float("nan"), False),
        (float("inf"), False),
        (float("-inf"), False),
        (1e300, False),
        (-99.0, False),
        (0.0, False),
    ],
)
def test_snr_sentinel(snr, expected):
    assert m.snr_is_no_data_sentinel(snr) is expected


def test_snr_sentinel_agrees_with_a_float32_reference_around_the_edges():
    def reference(x):
        f = struct.unpack("f", struct.pack("f", x))[0]
        return 98.5 < f < 99.5

    for edge in (98.5, 99.5):
        f = struct.unpack("f", struct.pack("f", edge))[0]
        below = struct.unpack("f", struct.pack("I", struct.unpack("I", struct.pack("f", f))[0] - 1))[0]
        above = struct.unpack("f", struct.pack("I", struct.unpack("I", struct.pack("f", f))[0] + 1))[0]
        for x in (below, (below + f) / 2, f, (f + above) / 2, above):
            assert m.snr_is_no_data_sentinel(x) is reference(x), x


@pytest.mark.parametrize(
    "name, member",
    [("satellite_lost", MarkerIcon.SATELLITE_LOST), ("pin", MarkerIcon.PIN), ("wrench", MarkerIcon.WRENCH),
     ("error", MarkerIcon.ERROR)],
)
def test_marker_icon_from_name(name, member):
    assert m.marker_icon_from_name(name) is member
    assert m.marker_icon_from_name(name=name) is member


@pytest.mark.parametrize(
    "name, member",
    [("gps", Constellation.GPS), ("glonass", Constellation.GLONASS), ("galileo", Constellation.GALILEO),
     ("beidou", Constellation.BEIDOU), ("navic", Constellation.NAVIC), ("qzss", Constellation.QZSS)],
)
def test_constellation_from_name(name, member):
    assert m.constellation_from_name(name) is member


class Name(str):
    pass


def test_lookups_take_str_subclasses():
    assert m.marker_icon_from_name(Name("gear")) is MarkerIcon.GEAR


@pytest.mark.parametrize(
    "name, text",
    [
        ("PIN", 'unknown marker icon name "PIN"'),
        ("Pin", 'unknown marker icon name "Pin"'),
        (" pin", 'unknown marker icon name " pin"'),
        ("pin ", 'unknown marker icon name "pin "'),
        ("", 'unknown marker icon name ""'),
        ("star", 'unknown marker icon name "star"'),
        ('a"b\\c\n', 'unknown marker icon name "a\\"b\\\\c\\n"'),
        ("pin\0", 'unknown marker icon name "pin\\0"'),
        ("caf\u00e9", 'unknown marker icon name "caf\u00e9"'),
    ],
)
def test_unknown_marker_icon_names(name, text):
    with pytest.raises(ValueError) as info:
        m.marker_icon_from_name(name)
    assert type(info.value) is ValueError
    assert str(info.value) == text


@pytest.mark.parametrize("name", ["BeiDou", "GPS", "gps ", "", "galileo\t"])
def test_unknown_constellation_names(name):
    with pytest.raises(ValueError) as info:
        m.constellation_from_name(name)
    assert type(info.value) is ValueError
    assert str(info.value) == "unknown constellation name " + '"' + name.replace("\t", "\\t") + '"'


@pytest.mark.parametrize("fn", [m.marker_icon_from_name, m.constellation_from_name])
@pytest.mark.parametrize(
    "value, type_name", [(3, "int"), (b"pin", "bytes"), (MarkerIcon.PIN, "MarkerIcon")]
)
def test_lookups_refuse_non_str(fn, value, type_name):
    with pytest.raises(TypeError) as info:
        fn(value)
    assert str(info.value) == f"'{type_name}' object is not an instance of 'str'"
    assert info.value.__notes__ == ["while processing 'name'"]


@pytest.mark.parametrize("fn", [m.marker_icon_from_name, m.constellation_from_name])
def test_lookups_of_none_and_unencodable_text(fn):
    with pytest.raises(TypeError) as info:
        fn(None)
    assert str(info.value) == "'None' is not an instance of 'str'"
    with pytest.raises(UnicodeEncodeError) as info:
        fn("\ud800")
    assert info.value.__notes__ == ["while processing 'name'"]


EXPECTED_MEMBERS = {
    "Constellation": [("GPS", 0), ("GLONASS", 1), ("GALILEO", 2), ("BEIDOU", 3), ("NAVIC", 4), ("QZSS", 5)],
    "MarkerIcon": [
        ("PIN", 0), ("CROSS", 1), ("CIRCLE", 2), ("LIGHTNING", 3), ("WARNING", 4), ("ERROR", 5), ("CHECK", 6),
        ("SATELLITE", 7), ("SATELLITE_LOST", 8), ("GEAR", 9), ("REFRESH", 10), ("DOWNLOAD", 11), ("UPLOAD", 12),
        ("WRENCH", 13),
    ],
    "TravelMode": [
        ("CAR", "car"), ("MOTORCYCLE", "motorcycle"), ("BICYCLE", "bicycle"), ("PEDESTRIAN", "pedestrian"),
        ("BOAT", "boat"), ("RAIL", "rail"), ("AIRCRAFT", "aircraft"),
    ],
}


def test_rust_sdk_enum_members():
    members = m._rust_sdk_enum_members()
    assert members == EXPECTED_MEMBERS
    assert list(members) == ["Constellation", "MarkerIcon", "TravelMode"]
    for pairs in members.values():
        assert all(type(p) is tuple and type(p[0]) is str for p in pairs)
    assert all(type(v) is int for _, v in members["MarkerIcon"] + members["Constellation"])


def test_rust_sdk_enum_members_returns_new_objects_every_call():
    first = m._rust_sdk_enum_members()
    first["MarkerIcon"].append(("STAR", 14))
    first["TravelMode"].clear()
    del first["Constellation"]
    second = m._rust_sdk_enum_members()
    assert second == EXPECTED_MEMBERS
    assert second["MarkerIcon"] is not first["MarkerIcon"]


def test_enum_module_agrees_with_the_core():
    import quillrun_sdk.enums as enums

    for class_name, pairs in m._rust_sdk_enum_members().items():
        cls = getattr(enums, class_name)
        assert [(member.name, member.value) for member in cls] == pairs
