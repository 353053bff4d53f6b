import inspect
import struct

import pytest
from qrd_craft import ChannelRow, qrd_bytes

from quillrun_sdk import _quillrun_sdk as m
from quillrun_sdk._quillrun_sdk import ChannelUnit, Unit

# The catalog by hand: attribute, canonical label, base code, prefix code.
CATALOG = [
    ("DEG", "deg", 0, None),
    ("M", "m", 6, None),
    ("NM", "nm", 6, 4),
    ("UM", "um", 6, 2),
    ("MM", "mm", 6, 3),
    ("CM", "cm", 6, 0),
    ("KM", "km", 6, 1),
    ("KM_PER_H", "km/h", 3, None),
    ("M_PER_S", "m/s", 7, None),
    ("MM_PER_S", "mm/s", 7, 3),
    ("CM_PER_S", "cm/s", 7, 0),
    ("KN", "kn", 5, None),
    ("M_PER_S2", "m/s2", 8, None),
    ("MM_PER_S2", "mm/s2", 8, 3),
    ("CM_PER_S2", "cm/s2", 8, 0),
    ("G", "g", 1, None),
    ("UG", "ug", 1, 2),
    ("MG", "mg", 1, 3),
    ("KM_PER_H_PER_S", "km/h/s", 4, None),
    ("NS", "ns", 14, 4),
    ("US", "us", 14, 2),
    ("MS", "ms", 14, 3),
    ("S", "s", 14, None),
    ("MIN", "min", 9, None),
    ("H", "h", 2, None),
    ("PERCENT", "%", 13, None),
    ("PER_S", "per s", 12, None),
    ("PER_MIN", "per min", 11, None),
    ("PER_H", "per h", 10, None),
]
LABELS = {attr: label for attr, label, _, _ in CATALOG}

MASK = (1 << 64) - 1


def siphash13(data: bytes) -> int:
    """SipHash-1-3 with the all-zero key, as a Python hash."""

    def rotl(x, b):
        return ((x << b) | (x >> (64 - b))) & MASK

    v = [0x736F6D6570736575, 0x646F72616E646F6D, 0x6C7967656E657261, 0x7465646279746573]

    def sip_round():
        v[0] = (v[0] + v[1]) & MASK; v[1] = rotl(v[1], 13) ^ v[0]; v[0] = rotl(v[0], 32)
        v[2] = (v[2] + v[3]) & MASK; v[3] = rotl(v[3], 16) ^ v[2]
        v[0] = (v[0] + v[3]) & MASK; v[3] = rotl(v[3], 21) ^ v[0]
        v[2] = (v[2] + v[1]) & MASK; v[1] = rotl(v[1], 17) ^ v[2]; v[2] = rotl(v[2], 32)

    tail = len(data) % 8
    words = [int.from_bytes(data[i:i + 8], "little") for i in range(0, len(data) - tail, 8)]
    words.append(int.from_bytes(data[len(data) - tail:], "little") | ((len(data) & 0xFF) << 56))
    for word in words:
        v[3] ^= word
        sip_round()
        v[0] ^= word
    v[2] ^= 0xFF
    for _ in range(3):
        sip_round()
    h = v[0] ^ v[1] ^ v[2] ^ v[3]
    h = h - (1 << 64) if h >= 1 << 63 else h
    return -2 if h == -1 else h


def u64(n: int) -> bytes:
    return struct.pack("<Q", n)


def unit_bytes(label: str, base: int, prefix) -> bytes:
    head = u64(0) if prefix is None else u64(1) + u64(prefix)
    return head + u64(base) + label.encode() + b"\xff"


def test_reference_hash_gives_the_published_values():
    assert siphash13(unit_bytes("km", 6, 1)) == 8931370276842600112


# ---------------------------------------------------------------- Unit


def test_catalog_attributes_in_catalog_order():
    own = [name for name, value in vars(Unit).items() if isinstance(value, Unit)]
    assert own == [attr for attr, _, _, _ in CATALOG]


@pytest.mark.parametrize("attr, label, base, prefix", CATALOG)
def test_every_catalog_attribute(attr, label, base, prefix):
    unit = getattr(Unit, attr)
    assert type(unit) is Unit
    assert unit is getattr(Unit, attr)
    assert unit.label == label and str(unit) == label
    assert repr(unit) == f'Unit("{label}")'
    assert unit == getattr(Unit, attr) and not unit != getattr(Unit, attr)
    assert hash(unit) == siphash13(unit_bytes(label, base, prefix))
    # The catalog entry and the recognized channel unit of its label agree.
    channel_unit = ChannelUnit.recognized(label)
    assert channel_unit.label == label and not channel_unit.is_custom
    assert hash(channel_unit) == siphash13(u64(2) + unit_bytes(label, base, prefix))


def test_units_equal_only_themselves():
    units = [getattr(Unit, attr) for attr, _, _, _ in CATALOG]
    for i, a in enumerate(units):
        for j, b in enumerate(units):
            assert (a == b) is (i == j)
            assert (a != b) is (i != j)
    assert len(set(units)) == 29
    assert {Unit.KM: 1}[Unit.KM] == 1


def test_unit_is_never_equal_to_a_channel_unit():
    km = ChannelUnit.recognized("km")
    assert Unit.KM != km and km != Unit.KM
    assert not Unit.KM == km
    assert hash(km) == 7129239058288065891 != hash(Unit.KM)
    assert Unit.KM != "km" and Unit.KM != 5


@pytest.mark.parametrize("a, b", [(Unit.KM, Unit.M), (Unit.KM, Unit.KM), (Unit.KM, ChannelUnit.recognized("km"))])
def test_orderings_are_refused(a, b):
    for op in ("<", "<=", ">", ">="):
        with pytest.raises(TypeError):
            eval(f"a {op} b")


def test_spelled_examples():
    assert str(Unit.PER_MIN) == "per min"
    assert repr(Unit.PERCENT) == 'Unit("%")'
    assert repr(Unit.KM_PER_H) == 'Unit("km/h")'


@pytest.mark.parametrize("cls", [Unit, ChannelUnit])
def test_classes_cannot_be_called_or_subclassed(cls):
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert cls.__module__ == "builtins" and cls.__doc__


def test_attributes_are_read_only():
    with pytest.raises(AttributeError):
        Unit.KM.label = "x"
    with pytest.raises(AttributeError):
        ChannelUnit.recognized("km").is_custom = True


# ---------------------------------------------------------------- ChannelUnit.recognized

RECOGNIZED = [
    ("km/h", "KM_PER_H"), ("kph", "KM_PER_H"), ("kmph", "KM_PER_H"), ("kmh", "KM_PER_H"), ("  km/h \t", "KM_PER_H"),
    ("m/s^2", "M_PER_S2"), ("m/s\u00b2", "M_PER_S2"), ("m/s/s", "M_PER_S2"), ("mps2", "M_PER_S2"),
    ("m/s^\u00b2", "M_PER_S2"), ("cm/s\u00b2", "CM_PER_S2"), ("mm/s^2", "MM_PER_S2"),
    ("\u00b5s", "US"), ("\u03bcs", "US"), ("us", "US"), ("\u00b5m", "UM"), ("\u03bcg", "UG"), ("ns", "NS"),
    ("nm", "NM"), ("mm", "MM"), ("ms", "MS"), ("min", "MIN"), ("km/h/s", "KM_PER_H_PER_S"),
    ("G", "G"), ("g", "G"), ("mG", "MG"), ("percent", "PERCENT"), ("%", "PERCENT"), ("per s", "PER_S"),
    ("per min", "PER_MIN"), ("per h", "PER_H"), ("\u00b0", "DEG"), ("degree", "DEG"), ("degrees", "DEG"),
    ("sec", "S"), ("second", "S"), ("seconds", "S"), ("hr", "H"), ("hour", "H"), ("hours", "H"), ("mps", "M_PER_S"),
    ("meter", "M"), ("metres", "M"), ("\u00a0deg\u00a0", "DEG"), ("\u3000kn\u3000", "KN"), ("\u2028h\u0085", "H"),
]


@pytest.mark.parametrize("text, attr", RECOGNIZED)
def test_recognized_texts(text, attr):
    unit = ChannelUnit.recognized(text)
    assert unit.label == LABELS[attr] and str(unit) == LABELS[attr]
    assert repr(unit) == f'ChannelUnit("{LABELS[attr]}")'
    assert unit.is_custom is False
    assert unit == ChannelUnit.recognized(LABELS[attr])
    assert hash(unit) == hash(ChannelUnit.recognized(LABELS[attr]))


UNRECOGNIZED = [
    "furlongs", "KM/H", "km / h", "km/h/", "mps\u00b2", "s^2", "um/s", "\u00b5m/s", "km/s", "\u00b5", "ng", "cs",
    "kg", "M", "per  s", "Per s", "Degrees", "", "   ", "/", "m/h", "mkn", "ckm", "ks", "Km", "rpm",
]


@pytest.mark.parametrize("text", UNRECOGNIZED)
def test_unrecognized_texts_name_the_label_as_given(text):
    with pytest.raises(ValueError) as info:
        ChannelUnit.recognized(text)
    assert str(info.value) == f'unrecognized channel unit "{text}"; use ChannelUnit::custom for a display-only unit'


def test_unrecognized_label_is_quoted_with_escapes():
    with pytest.raises(ValueError) as info:
        ChannelUnit.recognized('a"b\t\\')
    assert str(info.value) == 'unrecognized channel unit "a\\"b\\t\\\\"; use ChannelUnit::custom for a display-only unit'


def test_recognized_aliases_are_interchangeable_keys():
    km_per_h = {ChannelUnit.recognized("kph"), ChannelUnit.recognized(" km/h "), ChannelUnit.recognized("kmh")}
    assert len(km_per_h) == 1


# ---------------------------------------------------------------- ChannelUnit.custom


def test_custom_trims_and_is_custom():
    rpm = ChannelUnit.custom("  rpm\t")
    assert rpm.label == "rpm" and str(rpm) == "rpm" and repr(rpm) == 'ChannelUnit("rpm")'
    assert rpm.is_custom is True
    assert rpm == ChannelUnit.custom(label="rpm") and hash(rpm) == hash(ChannelUnit.custom("rpm"))
    assert hash(rpm) == -520175411496060762 == siphash13(u64(0) + b"rpm\xff")
    assert ChannelUnit.custom("\u00a0beats per minute\u3000").label == "beats per minute"


def test_custom_differs_from_a_recognized_unit():
    assert ChannelUnit.custom("rpm") != ChannelUnit.custom("RPM")
    assert ChannelUnit.custom("rpm") != ChannelUnit.recognized("km")


@pytest.mark.parametrize(
    "label, text",
    [
        ("", "a custom channel unit cannot be empty"),
        ("   ", "a custom channel unit cannot be empty"),
        ("\t\u3000\u00a0", "a custom channel unit cannot be empty"),
        ("beats\tper minute", "a custom channel unit cannot contain control characters"),
        ("a\x00b", "a custom channel unit cannot contain control characters"),
        ("a\x1fb", "a custom channel unit cannot contain control characters"),
        ("a\x7fb", "a custom channel unit cannot contain control characters"),
        ("a\x85b", "a custom channel unit cannot contain control characters"),
        ("a\x9fb", "a custom channel unit cannot contain control characters"),
        ("\x00", "a custom channel unit cannot contain control characters"),
        (" kph ", 'channel unit "kph" is recognized; use ChannelUnit::recognized instead'),
        ("km/h", 'channel unit "km/h" is recognized; use ChannelUnit::recognized instead'),
        ("\u00b0", 'channel unit "\u00b0" is recognized; use ChannelUnit::recognized instead'),
    ],
)
def test_custom_refusals(label, text):
    with pytest.raises(ValueError) as info:
        ChannelUnit.custom(label)
    assert str(info.value) == text


@pytest.mark.parametrize("label", ["\trpm\t", "\x85rpm", "rpm\u2029"])
def test_white_space_controls_at_the_ends_are_trimmed_away(label):
    assert ChannelUnit.custom(label).label == "rpm"


# U+00A0 and U+00BF share the lead byte of the C1 controls in UTF-8.
@pytest.mark.parametrize("label", ["a\xa0b", "\u00bf", "\u00e9t\u00e9"])
def test_characters_next_to_the_c1_controls_are_no_controls(label):
    assert ChannelUnit.custom(label).label == label


@pytest.mark.parametrize("method", [ChannelUnit.recognized, ChannelUnit.custom])
def test_label_argument_errors(method):
    name = f"ChannelUnit.{method.__name__}()"
    with pytest.raises(TypeError) as info:
        method(5)
    assert str(info.value) == "'int' object is not an instance of 'str'"
    assert info.value.__notes__ == ["while processing 'label'"]
    with pytest.raises(TypeError) as info:
        method(None)
    assert str(info.value) == "'None' is not an instance of 'str'"
    with pytest.raises(TypeError) as info:
        method()
    assert str(info.value) == f"{name} missing 1 required positional argument: 'label'"
    with pytest.raises(TypeError) as info:
        method(text="rpm")
    assert str(info.value) == f"{name} got an unexpected keyword argument 'text'"


def test_str_subclass_is_a_label():
    class Label(str):
        pass

    assert ChannelUnit.recognized(Label("kph")).label == "km/h"
    assert ChannelUnit.custom(Label(" rpm ")).label == "rpm"


def test_static_method_signatures_and_getter_docs():
    assert str(inspect.signature(ChannelUnit.recognized)) == "(label)"
    assert str(inspect.signature(ChannelUnit.custom)) == "(label)"
    assert ChannelUnit.label.__doc__ == "The canonical label as stored in the file."
    assert ChannelUnit.is_custom.__doc__ == "True for a display-only custom label, false for a catalog unit."


def test_every_call_makes_a_new_object():
    assert ChannelUnit.recognized("km") is not ChannelUnit.recognized("km")
    assert m.ChannelUnit is ChannelUnit


# ---------------------------------------------------------------- units read from a file


def read_units(*stored):
    rows = [ChannelRow(f"c{i}", [0], [1.0], unit=text) for i, text in enumerate(stored)]
    return [channel.unit for channel in m.NavFile.from_bytes(qrd_bytes(channels=rows)).channels]


def test_legacy_units_keep_the_stored_text():
    legacy_rpm, legacy_empty, custom_rpm, kph = read_units(" rpm", "", "rpm", "kph")
    assert legacy_rpm.label == " rpm" and str(legacy_rpm) == " rpm" and repr(legacy_rpm) == 'ChannelUnit(" rpm")'
    assert legacy_rpm.is_custom is True and legacy_empty.is_custom is True
    assert hash(legacy_rpm) == siphash13(u64(1) + b" rpm\xff")
    assert hash(legacy_empty) == siphash13(u64(1) + b"\xff")
    # Read back, a label that custom() accepts unchanged is custom again.
    assert custom_rpm == ChannelUnit.custom("rpm") and hash(custom_rpm) == hash(ChannelUnit.custom("rpm"))
    assert kph == ChannelUnit.recognized("km/h")


def test_legacy_and_custom_with_one_text_differ():
    (legacy,) = read_units("rpm\t")
    # Only the variant tells them apart: same text, different hash bytes.
    assert legacy.label == "rpm\t"
    assert hash(legacy) == siphash13(u64(1) + b"rpm\t\xff") != siphash13(u64(0) + b"rpm\t\xff")
    assert legacy != ChannelUnit.custom("rpm") and legacy != ChannelUnit.recognized("kph")
    assert legacy == read_units("rpm\t")[0] and legacy != read_units("rpm\n")[0]


def test_objects_made_past_the_refused_constructor_are_refused(run_isolated):
    out = run_isolated(
        """
        from quillrun_sdk import ChannelUnit, Unit
        for cls in (Unit, ChannelUnit):
            cls.__new__ = lambda cls: object.__new__(cls)
            u = cls()
            for use in (repr, str, hash, lambda u: u.label, lambda u: u == u):
                try:
                    use(u)
                except TypeError as e:
                    print(e)
        print(Unit.KM.label, ChannelUnit.recognized("kph").label)
        """
    )
    lines = out.splitlines()
    assert lines == ["'Unit' object is not initialized"] * 5 + ["'ChannelUnit' object is not initialized"] * 5 + [
        "km km/h"
    ]
