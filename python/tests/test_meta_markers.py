"""Meta, EventMarker and EventMarkerStyle: conversions, the travel-mode
readings, the skip sentinel, getters and reprs."""

import datetime as dt

import pytest

from quillrun_sdk import EventMarker, EventMarkerStyle, Meta
from quillrun_sdk.enums import MarkerIcon, TravelMode
from quillrun_sdk.event_kind import event_kind

UTC = dt.timezone.utc
T0 = dt.datetime(2024, 5, 1, 12, 0, tzinfo=UTC)
TEXT_FIELDS = ["title", "device", "notes", "identity"]


def notes(e):
    return getattr(e, "__notes__", [])


# ---------------------------------------------------------------- Meta


def test_empty_meta():
    meta = Meta()
    for name in TEXT_FIELDS + ["travel_mode", "sdk_version", "sdk_git_commit", "sdk_commit_time"]:
        assert getattr(meta, name) is None, name
    assert repr(meta) == "Meta(title=None)"


def test_meta_texts_read_back():
    meta = Meta(title="My Track", device="dev", notes="", identity="id-1")
    assert (meta.title, meta.device, meta.notes, meta.identity) == ("My Track", "dev", "", "id-1")
    assert repr(meta) == 'Meta(title=Some("My Track"))'


@pytest.mark.parametrize(
    "title, shown",
    [("", '""'), ('say "hi"', '"say \\"hi\\""'), ("a\\b", '"a\\\\b"'), ("tab\there", '"tab\\there"'),
     ("line\nbreak", '"line\\nbreak"'), ("café", '"café"')],
)
def test_meta_repr_quotes_the_title(title, shown):
    assert repr(Meta(title=title)) == f"Meta(title=Some({shown}))"


def test_meta_takes_only_keywords():
    with pytest.raises(TypeError) as info:
        Meta("title")
    assert str(info.value) == "Meta.__new__() takes 0 positional arguments but 1 was given"
    assert Meta.__text_signature__ == "(*, title=None, device=None, notes=None, identity=None, travel_mode=None)"


@pytest.mark.parametrize("field", TEXT_FIELDS)
def test_meta_text_fields_must_be_str(field):
    with pytest.raises(TypeError) as info:
        Meta(**{field: 5})
    assert str(info.value) == "'int' object is not an instance of 'str'"
    assert notes(info.value) == [f"while processing '{field}'"]


def test_meta_str_subclass_is_taken():
    class Name(str):
        pass

    assert Meta(title=Name("x")).title == "x"


@pytest.mark.parametrize(
    "given, expected",
    [
        (TravelMode.CAR, TravelMode.CAR),
        (TravelMode.AIRCRAFT, TravelMode.AIRCRAFT),
        ("car", TravelMode.CAR),
        ("pedestrian", TravelMode.PEDESTRIAN),
        ("Car", "Car"),
        ("CAR", "CAR"),
        (" car", " car"),
        ("", ""),
        ("hovercraft", "hovercraft"),
    ],
)
def test_travel_mode_readings(given, expected):
    got = Meta(travel_mode=given).travel_mode
    assert got == expected
    assert type(got) is type(expected)
    if isinstance(expected, TravelMode):
        assert got is expected


def test_travel_mode_member_equals_its_name():
    assert Meta(travel_mode=TravelMode.BOAT) == Meta(travel_mode="boat")
    assert Meta(travel_mode=TravelMode.BOAT) != Meta(travel_mode="Boat")
    assert Meta(travel_mode="Boat") == Meta(travel_mode="Boat")
    assert Meta(travel_mode="") != Meta()


def test_travel_mode_of_another_type_reports_both_readings():
    with pytest.raises(TypeError) as info:
        Meta(travel_mode=3)
    lines = str(info.value).split("\n")
    assert lines == [
        "failed to extract enum TravelModeArg ('Mode | Name')",
        "- variant Mode (Mode): failed to extract field TravelModeArg::Mode.0, caused by "
        "TypeError: expected a TravelMode member, got int",
        "- variant Name (Name): failed to extract field TravelModeArg::Name.0, caused by "
        "TypeError: 'int' object is not an instance of 'str'",
    ]
    assert notes(info.value) == ["while processing 'travel_mode'"]


def test_travel_mode_member_of_another_class_is_refused():
    with pytest.raises(TypeError, match="expected a TravelMode member, got MarkerIcon"):
        Meta(travel_mode=MarkerIcon.PIN)


def test_travel_mode_member_this_build_lacks(run_isolated):
    out = run_isolated(
        """
        import enum, sys, types
        enums = types.ModuleType("quillrun_sdk.enums")
        class TravelMode(enum.Enum):
            CAR = "car"
            SKI = "ski"
        enums.TravelMode = TravelMode
        sys.modules["quillrun_sdk.enums"] = enums
        from quillrun_sdk import _quillrun_sdk as m
        # A member whose name is unknown, not a str: reported in the TypeError.
        try:
            m.Meta(travel_mode=TravelMode.SKI)
        except TypeError as e:
            print(str(e).split("\\n")[1])
        """
    )
    assert out == (
        "- variant Mode (Mode): failed to extract field TravelModeArg::Mode.0, caused by "
        "ValueError: this build has no TravelMode.SKI\n"
    )


def test_str_valued_member_unknown_to_this_build_is_a_free_name(run_isolated):
    out = run_isolated(
        """
        import enum, sys, types
        enums = types.ModuleType("quillrun_sdk.enums")
        class TravelMode(str, enum.Enum):
            CAR = "car"
            SKI = "ski"
            TRAIN = "rail"
        enums.TravelMode = TravelMode
        sys.modules["quillrun_sdk.enums"] = enums
        from quillrun_sdk import _quillrun_sdk as m
        print(repr(m.Meta(travel_mode=TravelMode.SKI).travel_mode))
        # Read by its text, TRAIN holds the rail code, which reads back as
        # the member RAIL: this class lacks it.
        meta = m.Meta(travel_mode=TravelMode.TRAIN)
        try:
            meta.travel_mode
        except AttributeError:
            print("no RAIL member")
        print(m.Meta(travel_mode=TravelMode.CAR).travel_mode is TravelMode.CAR)
        """
    )
    assert out == "'ski'\nno RAIL member\nTrue\n"


def test_travel_mode_str_works_without_the_enum_module(run_isolated):
    out = run_isolated(
        """
        import sys
        sys.modules["quillrun_sdk.enums"] = None
        from quillrun_sdk import _quillrun_sdk as m
        print(repr(m.Meta(travel_mode="Boat").travel_mode))
        try:
            m.Meta(travel_mode=4)
        except TypeError as e:
            print(str(e).split("\\n")[1].split("caused by ")[1].split(":")[0])
        """
    )
    assert out == "'Boat'\nModuleNotFoundError\n"


@pytest.mark.parametrize(
    "kwargs, text",
    [
        ({"title": "ab\0c"}, "the title value has a nul byte at offset 2"),
        ({"device": "\0"}, "the device value has a nul byte at offset 0"),
        ({"notes": "x\0"}, "the notes value has a nul byte at offset 1"),
        ({"identity": "id\0"}, "the identity value has a nul byte at offset 2"),
        ({"travel_mode": "ca\0r"}, "the travel mode value has a nul byte at offset 2"),
        ({"title": "ok", "notes": "\0", "travel_mode": "\0"}, "the notes value has a nul byte at offset 0"),
        ({"title": "t\0", "notes": "\0"}, "the title value has a nul byte at offset 1"),
        ({"notes": "é\0"}, "the notes value has a nul byte at offset 2"),  # a byte offset
    ],
)
def test_meta_nul_bytes(kwargs, text):
    with pytest.raises(ValueError) as info:
        Meta(**kwargs)
    assert str(info.value) == text
    assert notes(info.value) == []


def test_meta_conversions_come_before_the_nul_test():
    with pytest.raises(TypeError) as info:
        Meta(title="\0", travel_mode=1.5)
    assert notes(info.value) == ["while processing 'travel_mode'"]


def test_meta_equality():
    a = Meta(title="t", device="d", notes="n", identity="i", travel_mode="rail")
    assert a == Meta(title="t", device="d", notes="n", identity="i", travel_mode=TravelMode.RAIL)
    assert a != Meta(title="t", device="d", notes="n", identity="i")
    assert a != Meta(title="t", device="d", notes="n", identity="j", travel_mode="rail")
    assert Meta() == Meta()
    assert Meta(title="") != Meta()
    assert Meta() != 1
    with pytest.raises(TypeError):
        hash(Meta())


# ---------------------------------------------------------------- EventMarker


def test_event_marker_with_a_path():
    marker = EventMarker("power/boot", T0, annotation="cold start")
    assert (marker.variant_path, marker.sys_time, marker.annotation) == ("power/boot", T0, "cold start")
    assert marker.sys_time.tzinfo is UTC
    assert repr(marker) == 'EventMarker(variant_path=Some("power/boot"))'
    assert EventMarker(variant_path="a", sys_time=T0).annotation is None
    assert EventMarker.__text_signature__ == "(variant_path, sys_time, *, annotation=None)"


@pytest.mark.parametrize("skip", [None, event_kind.skip, type(event_kind.skip)()])
def test_skipped_marker_keeps_its_annotation_unchecked(skip):
    for annotation in ["é" * 300, "nul\0inside", "", None]:
        marker = EventMarker(skip, T0, annotation=annotation)
        assert marker.variant_path is None
        assert marker.annotation == annotation
        assert repr(marker) == "EventMarker(variant_path=None)"


def test_empty_annotation_of_a_marker_with_a_path_is_none():
    assert EventMarker("a", T0, annotation="").annotation is None
    assert EventMarker(None, T0, annotation="").annotation == ""


@pytest.mark.parametrize(
    "annotation, text",
    [
        ("é" * 300, 'invalid event marker annotation: "' + "é" * 300 + '" is 600 bytes, past the 511 bytes the field holds'),
        ("a" * 512, 'invalid event marker annotation: "' + "a" * 512 + '" is 512 bytes, past the 511 bytes the field holds'),
        ("ab\0", 'invalid event marker annotation: "ab\\0" has a nul byte at offset 2'),
    ],
)
def test_annotation_rules_of_a_marker_with_a_path(annotation, text):
    with pytest.raises(ValueError) as info:
        EventMarker("a/b", T0, annotation=annotation)
    assert str(info.value) == text
    assert notes(info.value) == []


def test_annotation_of_511_bytes_is_taken():
    assert EventMarker("a", T0, annotation="a" * 511).annotation == "a" * 511


@pytest.mark.parametrize(
    "path, reason",
    [
        ("", "path is empty"),
        ("/a", "starts with '/'"),
        ("a/", "ends with '/'"),
        ("a//b", "contains '//'"),
        ("a" * 256, "256 bytes, past the 255 bytes the field holds"),
        ("a b", "contains characters outside ASCII alphanumeric, hyphen, underscore, and slash"),
        ("café", "contains characters outside ASCII alphanumeric, hyphen, underscore, and slash"),
    ],
)
def test_malformed_variant_paths(path, reason):
    for make in (lambda: EventMarker(path, T0), lambda: EventMarkerStyle(path)):
        with pytest.raises(ValueError) as info:
            make()
        assert str(info.value) == f'invalid event marker variant path "{path}": {reason}'


def test_variant_path_is_checked_before_the_annotation():
    with pytest.raises(ValueError, match="variant path"):
        EventMarker("/a", T0, annotation="\0")


@pytest.mark.parametrize("path", ["a", "power/boot", "-_-", "A/b-2/c_3", "a" * 255])
def test_valid_variant_paths(path):
    assert EventMarker(path, T0).variant_path == path
    assert EventMarkerStyle(path).variant_path == path


@pytest.mark.parametrize("value, name", [(5, "int"), (b"a/b", "bytes"), (MarkerIcon.PIN, "MarkerIcon"), (event_kind, "_EventKind")])
def test_variant_path_of_another_type(value, name):
    with pytest.raises(TypeError) as info:
        EventMarker(value, T0)
    assert str(info.value) == f"variant_path must be a str, None, or event_kind.skip, not {name}"
    assert notes(info.value) == []


def test_str_that_is_not_utf8_is_no_path():
    with pytest.raises(TypeError) as info:
        EventMarker("a\ud800", T0)
    assert str(info.value) == "variant_path must be a str, None, or event_kind.skip, not str"


def test_order_of_checks_time_then_annotation_then_path():
    with pytest.raises(TypeError) as info:
        EventMarker(5, dt.datetime(2024, 1, 1))
    assert str(info.value) == "expected a datetime with non-None tzinfo"
    assert notes(info.value) == ["while processing 'sys_time'"]
    with pytest.raises(TypeError) as info:
        EventMarker(5, T0, annotation=7)
    assert notes(info.value) == ["while processing 'annotation'"]


def test_event_markers_compare_and_hash_by_identity():
    a, b = EventMarker("a", T0), EventMarker("a", T0)
    assert a != b
    assert a == a
    assert hash(a) == hash(a)
    assert len({a, b}) == 2


def test_skip_sentinel_module_is_imported_at_every_call(run_isolated):
    out = run_isolated(
        """
        import sys, types, datetime as dt
        from quillrun_sdk import _quillrun_sdk as m
        T = dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc)
        from quillrun_sdk.event_kind import event_kind
        assert m.EventMarker(event_kind.skip, T).variant_path is None
        # A replacement module is seen by the next call.
        class Skip: pass
        replacement = types.ModuleType("quillrun_sdk.event_kind")
        replacement.event_kind = types.SimpleNamespace(skip=Skip())
        sys.modules["quillrun_sdk.event_kind"] = replacement
        assert m.EventMarker(Skip(), T).variant_path is None
        try:
            m.EventMarker(event_kind.skip, T)
        except TypeError as e:
            print(e)
        # No skip attribute: that lookup's error comes through unchanged.
        replacement.event_kind = types.SimpleNamespace()
        try:
            m.EventMarker(1, T)
        except AttributeError:
            print("AttributeError")
        # A str or None never needs the module.
        sys.modules["quillrun_sdk.event_kind"] = None
        assert m.EventMarker("a", T).variant_path == "a"
        assert m.EventMarker(None, T).variant_path is None
        try:
            m.EventMarker(1, T)
        except ModuleNotFoundError:
            print("ModuleNotFoundError")
        """
    )
    assert out == (
        "variant_path must be a str, None, or event_kind.skip, not _Skip\nAttributeError\nModuleNotFoundError\n"
    )


# ---------------------------------------------------------------- EventMarkerStyle


def test_style_with_only_a_path():
    style = EventMarkerStyle("power/boot")
    assert (style.variant_path, style.icon, style.icon_name, style.color) == ("power/boot", None, None, None)
    assert repr(style) == "EventMarkerStyle(variant_path=power/boot)"
    assert EventMarkerStyle.__text_signature__ == "(variant_path, *, icon=None, color=None)"


@pytest.mark.parametrize(
    "icon, name",
    [(MarkerIcon.PIN, "pin"), (MarkerIcon.SATELLITE_LOST, "satellite_lost"), (MarkerIcon.WRENCH, "wrench")],
)
def test_style_icons(icon, name):
    style = EventMarkerStyle("a", icon=icon)
    assert style.icon is icon
    assert style.icon_name == name
    assert EventMarkerStyle("a", icon=None).icon_name is None


@pytest.mark.parametrize("icon, got", [("pin", "str"), (0, "int"), (TravelMode.CAR, "TravelMode")])
def test_style_icon_must_be_a_member(icon, got):
    with pytest.raises(TypeError) as info:
        EventMarkerStyle("a", icon=icon)
    assert str(info.value) == f"expected a MarkerIcon member, got {got}"
    assert notes(info.value) == ["while processing 'icon'"]


@pytest.mark.parametrize("color", ["#FF9900", "#ff9900", "#aBc012", "#000000"])
def test_style_colours_are_kept_as_written(color):
    assert EventMarkerStyle("a", color=color).color == color


@pytest.mark.parametrize("color", ["", None])
def test_style_without_colour(color):
    assert EventMarkerStyle("a", color=color).color is None


@pytest.mark.parametrize("color", ["#FF990", "FF9900", "#GG0000", "#FF99000", " #FF9900", "red", "#ＦＦ9900"])
def test_style_colours_refused(color):
    with pytest.raises(ValueError) as info:
        EventMarkerStyle("a", color=color)
    assert str(info.value) == f'invalid event marker color "{color}": expected the #RRGGBB form'
    assert notes(info.value) == []


def test_style_order_of_checks():
    with pytest.raises(TypeError) as info:
        EventMarkerStyle(None, icon="pin", color=1)
    assert str(info.value) == "'None' is not an instance of 'str'"
    assert notes(info.value) == ["while processing 'variant_path'"]
    with pytest.raises(TypeError) as info:
        EventMarkerStyle("/bad", icon="pin", color=1)
    assert notes(info.value) == ["while processing 'icon'"]
    with pytest.raises(TypeError) as info:
        EventMarkerStyle("/bad", color=1)
    assert notes(info.value) == ["while processing 'color'"]
    # The core checks the path before the colour.
    with pytest.raises(ValueError, match="variant path"):
        EventMarkerStyle("/bad", color="bad")
    with pytest.raises(TypeError):
        EventMarkerStyle(event_kind.skip)


def test_styles_compare_and_hash_by_identity():
    a, b = EventMarkerStyle("a", color="#000000"), EventMarkerStyle("a", color="#000000")
    assert a != b
    assert len({a, b}) == 2


@pytest.mark.parametrize("cls", [Meta, EventMarker, EventMarkerStyle])
def test_classes_present_themselves_as_builtins_and_refuse_subclasses(cls):
    assert cls.__module__ == "builtins"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("cls", ["Meta", "EventMarker", "EventMarkerStyle"])
def test_bypassed_constructor_gives_objects_every_access_refuses(cls, run_isolated):
    # In a fresh interpreter: a rebound __new__ cannot be put back.
    out = run_isolated(
        f"""
        import quillrun_sdk as q
        cls = q.{cls}
        cls.__new__ = lambda c, *a, **k: object.__new__(c)
        hollow = cls()
        accesses = [lambda: repr(hollow)] + [lambda n=n: getattr(hollow, n) for n in dir(cls) if not n.startswith("_")]
        for access in accesses:
            try:
                access()
            except TypeError as e:
                assert str(e) == "'{cls}' object is not initialized", e
            else:
                raise AssertionError("an access went through")
        del hollow
        print(len(accesses))
        """
    )
    assert int(out) >= 4
