import inspect

import pytest

from quillrun_sdk import _quillrun_sdk as m

CLASSES = [
    "Satellite", "SatelliteReport", "Unit", "ChannelUnit", "Channel", "NavFix", "Annotation", "Meta", "NavPoint",
    "Marker", "EventMarker", "EventMarkerStyle", "EventMarkerPoint", "NavPointSequence", "NavPointIterator",
    "MarkerSequence", "MarkerIterator", "EventMarkerPointSequence", "EventMarkerPointIterator", "ChannelSequence",
    "ChannelIterator", "EventMarkerStyleSequence", "EventMarkerStyleIterator", "NavFile", "NavFileBuilder",
]
FUNCTIONS = [
    "constellation_from_name", "marker_icon_from_name", "mps_from_kmh", "mps_from_knots", "kmh_from_mps",
    "knots_from_mps", "snr_is_no_data_sentinel", "_rust_sdk_enum_members",
]


def test_all_lists_classes_then_functions_in_registration_order():
    assert type(m.__all__) is list
    assert m.__all__ == CLASSES + FUNCTIONS
    for name in CLASSES:
        assert isinstance(getattr(m, name), type), name


def test_namespace_holds_only_what_all_lists():
    own = {name for name in vars(m) if not (name.startswith("__") and name.endswith("__"))}
    assert own == set(m.__all__) - {"__all__"}
    for absent in ("PanicException", "__version__"):
        assert not hasattr(m, absent)
    assert m.__doc__ == ""
    assert m.__name__ == "quillrun_sdk._quillrun_sdk"


CONSTRUCTED = {
    "Satellite", "SatelliteReport", "Channel", "NavFix", "Annotation", "Meta", "EventMarker", "EventMarkerStyle",
    "NavFileBuilder",
}
UNHASHABLE = {"Satellite", "SatelliteReport", "Channel", "NavFix", "Annotation", "Meta"}
HASHED_BY_VALUE = {"Unit", "ChannelUnit"}

# Type flag bits of the interpreter (Include/object.h).
DISALLOW_INSTANTIATION = 1 << 7
IMMUTABLETYPE = 1 << 8
HEAPTYPE = 1 << 9
BASETYPE = 1 << 10
HAVE_GC = 1 << 14


@pytest.mark.parametrize("name", CLASSES)
def test_type_objects(name):
    cls = getattr(m, name)
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", name, name)
    assert cls.__bases__ == (object,)
    flags = cls.__flags__
    assert flags & HEAPTYPE
    assert not flags & (BASETYPE | HAVE_GC | IMMUTABLETYPE)
    assert bool(flags & DISALLOW_INSTANTIATION) == (name not in CONSTRUCTED)
    # Header, payload and borrow flag only: no instance dict, no weak references.
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


@pytest.mark.parametrize("name", CLASSES)
def test_docstrings_and_text_signatures_of_classes(name):
    cls = getattr(m, name)
    if name.endswith("Iterator"):
        assert cls.__doc__ is None
    else:
        assert cls.__doc__
    if name in CONSTRUCTED:
        assert cls.__text_signature__ is not None
        assert str(inspect.signature(cls)).startswith("(")
    else:
        assert cls.__text_signature__ is None
    if name == "NavFileBuilder":
        assert cls.__text_signature__ == "()"


@pytest.mark.parametrize("name", CLASSES)
def test_hashing_follows_the_comparison_rules(name):
    cls = getattr(m, name)
    if name in UNHASHABLE:
        assert cls.__hash__ is None
    elif name in HASHED_BY_VALUE:
        assert cls.__dict__["__hash__"] is not None
    else:
        assert "__hash__" not in cls.__dict__ and cls.__hash__ is object.__hash__


@pytest.mark.parametrize("name", sorted(set(CLASSES) - CONSTRUCTED))
def test_classes_without_constructor_cannot_be_called(name):
    cls = getattr(m, name)
    with pytest.raises(TypeError) as info:
        cls()
    assert name in str(info.value)  # the interpreter's own refusal


def test_class_objects_stay_mutable():
    m.NavFix.review_marker = 1
    try:
        assert m.NavFix.review_marker == 1
    finally:
        del m.NavFix.review_marker


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_are_builtins_bound_to_the_module(name):
    fn = getattr(m, name)
    assert type(fn).__name__ == "builtin_function_or_method"
    assert fn.__name__ == name
    assert fn.__module__ == "quillrun_sdk._quillrun_sdk"
    assert fn.__self__ is m


@pytest.mark.parametrize(
    "name, signature",
    [
        ("constellation_from_name", "(name)"), ("marker_icon_from_name", "(name)"), ("mps_from_kmh", "(kmh)"),
        ("mps_from_knots", "(knots)"), ("kmh_from_mps", "(mps)"), ("knots_from_mps", "(mps)"),
        ("snr_is_no_data_sentinel", "(snr)"), ("_rust_sdk_enum_members", "()"),
    ],
)
def test_function_signatures_come_from_their_docstrings(name, signature):
    fn = getattr(m, name)
    assert fn.__text_signature__ == signature
    assert str(inspect.signature(fn)) == signature
    assert fn.__doc__ and not fn.__doc__.startswith(name)


def test_docstrings():
    assert m.kmh_from_mps.__doc__ == "Convert a speed in m/s to km/h."
    assert m.knots_from_mps.__doc__ == "Convert a speed in m/s to knots."
    assert "23.2" in m.mps_from_kmh.__doc__ and "NavFix.speed_mps" in m.mps_from_kmh.__doc__
    assert "23.2" not in m.mps_from_knots.__doc__
    assert "satellite_lost" in m.marker_icon_from_name.__doc__ and "ValueError" in m.marker_icon_from_name.__doc__
    assert "beidou" in m.constellation_from_name.__doc__
    assert "32-bit" in m.snr_is_no_data_sentinel.__doc__


def test_enum_module_is_not_imported_by_the_module(run_isolated):
    out = run_isolated(
        """
        import sys
        import quillrun_sdk._quillrun_sdk as m
        assert "quillrun_sdk.enums" not in sys.modules
        m._rust_sdk_enum_members(); m.kmh_from_mps(1.0)
        assert "quillrun_sdk.enums" not in sys.modules
        m.marker_icon_from_name("pin")
        print("quillrun_sdk.enums" in sys.modules)
        """
    )
    assert out == "True\n"


def test_second_execution_registers_again_and_warns(run_isolated):
    out = run_isolated(
        """
        import importlib, logging, sys
        records = []
        class Capture(logging.Handler):
            def emit(self, record):
                records.append(record)
        logging.getLogger("_quillrun_sdk").addHandler(Capture())
        first = importlib.import_module("quillrun_sdk._quillrun_sdk")
        assert records == []
        del sys.modules["quillrun_sdk._quillrun_sdk"]
        second = importlib.import_module("quillrun_sdk._quillrun_sdk")
        assert second is not first and second.__all__ == first.__all__
        # The type objects of the first execution are reused.
        assert all(getattr(second, n) is getattr(first, n) for n in first.__all__[:25])
        assert second.mps_from_kmh(23.2) == 6.444444444444445
        assert second.marker_icon_from_name("pin") is first.marker_icon_from_name("pin")
        [record] = records
        assert (record.name, record.levelno, record.pathname, record.lineno) == ("_quillrun_sdk", 30, "src/lib", 2146)
        print(record.getMessage())
        """
    )
    assert out == (
        "the sdk's log records stay off python's logging: "
        "attempted to set a logger after the logging system was already initialized\n"
    )


def test_module_imports_without_python_logging(run_isolated):
    out = run_isolated(
        """
        import sys
        sys.modules["logging"] = None
        import quillrun_sdk._quillrun_sdk as m
        print(m.kmh_from_mps(10.0))
        """
    )
    assert out == "36.0\n"


def test_a_sub_interpreter_is_refused(run_isolated):
    out = run_isolated(
        """
        try:
            import _interpreters
            interp = _interpreters.create("legacy")
            run = lambda code: _interpreters.run_string(interp, code)
        except ImportError:
            import _xxsubinterpreters
            interp = _xxsubinterpreters.create(isolated=False)
            run = lambda code: _xxsubinterpreters.run_string(interp, code)
        import quillrun_sdk._quillrun_sdk  # the main interpreter's import stays fine
        run(
            "import sys\\n"
            "try:\\n"
            "    import quillrun_sdk._quillrun_sdk\\n"
            "except ImportError as e:\\n"
            "    sys.stdout.write(f'{type(e).__name__}: {e}\\\\n')\\n"
        )
        """
    )
    assert out == "ImportError: _quillrun_sdk can only be imported in the main interpreter\n"
