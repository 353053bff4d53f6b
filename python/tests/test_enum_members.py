"""The enum classes of quillrun_sdk.enums as the module functions see them.

Each test runs in a fresh interpreter: the classes, once found, are held for
the life of the process."""


def test_module_works_without_the_enum_module_and_recovers(run_isolated):
    out = run_isolated(
        """
        import sys
        sys.modules["quillrun_sdk.enums"] = None  # not importable
        from quillrun_sdk import _quillrun_sdk as m
        assert m.kmh_from_mps(1.0) == 3.5999999999999996
        assert m._rust_sdk_enum_members()["MarkerIcon"][0] == ("PIN", 0)
        for call in (lambda: m.marker_icon_from_name("pin"), lambda: m.constellation_from_name("gps")):
            try:
                call()
            except ModuleNotFoundError:
                pass
            else:
                raise AssertionError("the missing module must be reported")
        # Unknown names fail before the enum module is needed.
        try:
            m.marker_icon_from_name("star")
        except ValueError as e:
            assert str(e) == 'unknown marker icon name "star"'
        del sys.modules["quillrun_sdk.enums"]
        from quillrun_sdk.enums import Constellation, MarkerIcon
        assert m.marker_icon_from_name("pin") is MarkerIcon.PIN
        assert m.constellation_from_name("gps") is Constellation.GPS
        print("ok")
        """
    )
    assert out == "ok\n"


def test_enum_class_with_an_extra_member(run_isolated):
    out = run_isolated(
        """
        import enum, sys, types
        enums = types.ModuleType("quillrun_sdk.enums")
        class MarkerIcon(enum.IntEnum):
            PIN = 0
            STAR = 1
            WRENCH = 2
        enums.MarkerIcon = MarkerIcon
        sys.modules["quillrun_sdk.enums"] = enums
        from quillrun_sdk import _quillrun_sdk as m
        assert m.marker_icon_from_name("pin") is MarkerIcon.PIN
        assert m.marker_icon_from_name("wrench") is MarkerIcon.WRENCH  # by name, not by value
        try:
            m.marker_icon_from_name("star")
        except ValueError as e:
            print(e)
        try:
            m.marker_icon_from_name("gear")  # an older module lacks it
        except AttributeError:
            print("AttributeError")
        assert [n for n, _ in m._rust_sdk_enum_members()["MarkerIcon"]][-1] == "WRENCH"
        """
    )
    assert out == 'unknown marker icon name "star"\nAttributeError\n'


def test_enum_attribute_that_is_not_a_class(run_isolated):
    out = run_isolated(
        """
        import sys, types
        enums = types.ModuleType("quillrun_sdk.enums")
        enums.Constellation = "not a class"
        sys.modules["quillrun_sdk.enums"] = enums
        from quillrun_sdk import _quillrun_sdk as m
        try:
            m.constellation_from_name("gps")
        except TypeError as e:
            print(e)
        del sys.modules["quillrun_sdk.enums"]
        from quillrun_sdk.enums import Constellation
        assert m.constellation_from_name("qzss") is Constellation.QZSS
        """
    )
    assert out == "'str' object is not an instance of 'type'\n"


def test_enum_module_that_uses_the_lookups_while_it_imports(run_isolated, tmp_path):
    # The first lookup imports the enum module, whose own code calls a lookup
    # again on the same thread: that must neither deadlock nor fail.
    package = tmp_path / "pkg" / "quillrun_sdk"
    package.mkdir(parents=True)
    (package / "enums.py").write_text(
        "import enum\n"
        "class MarkerIcon(enum.IntEnum):\n"
        "    PIN = 0\n"
        "    CROSS = 1\n"
        "from quillrun_sdk import _quillrun_sdk\n"
        "DEFAULT_ICON = _quillrun_sdk.marker_icon_from_name('cross')\n"
    )
    out = run_isolated(
        f"""
        import quillrun_sdk
        quillrun_sdk.__path__.insert(0, {str(package)!r})
        from quillrun_sdk import _quillrun_sdk as m
        icon = m.marker_icon_from_name("pin")
        import quillrun_sdk.enums as enums
        assert icon is enums.MarkerIcon.PIN
        print(enums.DEFAULT_ICON is enums.MarkerIcon.CROSS)
        """
    )
    assert out == "True\n"


def test_threads_that_meet_at_the_first_lookup(run_isolated, tmp_path):
    # A slow enum module: the first thread imports it, the others wait for it
    # with the interpreter lock released.
    package = tmp_path / "pkg" / "quillrun_sdk"
    package.mkdir(parents=True)
    (package / "enums.py").write_text(
        "import enum, time\n"
        "time.sleep(0.3)\n"
        "class Constellation(enum.IntEnum):\n"
        "    GPS = 0\n"
    )
    out = run_isolated(
        f"""
        import threading
        import quillrun_sdk
        quillrun_sdk.__path__.insert(0, {str(package)!r})
        from quillrun_sdk import _quillrun_sdk as m
        results = []
        threads = [threading.Thread(target=lambda: results.append(m.constellation_from_name("gps")))
                   for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        import quillrun_sdk.enums as enums
        print(len(results), all(r is enums.Constellation.GPS for r in results))
        """
    )
    assert out == "4 True\n"
