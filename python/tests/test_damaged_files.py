"""Damaged images collected from the field (data/damaged, described in its
README): each is refused with ValueError or OSError, or read whole, and none
takes the process down. They are read in a child process, so that a crash
fails the image that caused it instead of the run."""

import os
import pathlib
import subprocess
import sys

import pytest

DAMAGED = pathlib.Path(__file__).parent / "data" / "damaged"
IMAGES = sorted(p.name for p in DAMAGED.glob("*.qrd"))

# Reads each image named on the command line, touches everything a read trace
# offers, and reports "<name> read" or "<name> refused <exception type>" once
# it is done with it. Any other exception ends the child.
CHILD = r"""
import enum
import sys
from datetime import datetime, timedelta

from quillrun_sdk import NavFile

PLAIN = (str, bytes, int, float, bool, type(None), datetime, timedelta, enum.Enum)


def touch(value, depth=0):
    if isinstance(value, PLAIN) or depth > 8:
        return
    if hasattr(value, "__len__"):
        for i in range(len(value)):
            touch(value[i], depth + 1)
        for item in value:
            touch(item, depth + 1)
    for name in dir(type(value)):
        if not name.startswith("_") and not callable(getattr(type(value), name)):
            touch(getattr(value, name), depth + 1)


folder = sys.argv[1]
for name in sys.argv[2:]:
    with open(f"{folder}/{name}", "rb") as f:
        data = f.read()
    try:
        touch(NavFile.from_bytes(data))
        outcome = "read"
    except (ValueError, OSError) as error:
        outcome = f"refused {type(error).__name__}"
    print(name, outcome, flush=True)
"""


def show(text, config):
    """Writes what a child printed to stderr past pytest's capture, so that
    what HDF5 says at exit reaches the log as it would from the test process."""
    capture = config.pluginmanager.getplugin("capturemanager")
    if capture is None:
        sys.stderr.write(text)
        return
    with capture.global_and_fixture_disabled():
        sys.stderr.write(text)


@pytest.fixture(scope="module")
def outcomes(pytestconfig):
    """The outcome of every image. A child that dies is blamed on the image it
    had not reported yet; a new child goes on with the rest."""
    # Freed memory filled with a pattern turns a use after free into a crash.
    env = dict(os.environ, MALLOC_PERTURB_="165")
    results = {}
    pending = IMAGES
    while pending:
        child = subprocess.run(
            [sys.executable, "-X", "faulthandler", "-c", CHILD, str(DAMAGED), *pending],
            env=env,
            capture_output=True,
            text=True,
            timeout=600,
        )
        if child.stderr:
            show(child.stderr, pytestconfig)
        for line in child.stdout.splitlines():
            name, outcome = line.split(" ", 1)
            results[name] = outcome
        pending = [name for name in pending if name not in results]
        if pending:
            results[pending[0]] = f"child ended with {child.returncode}:\n{child.stderr[-4000:]}"
            pending = pending[1:]
    return results


def test_every_kind_of_damage_is_in_the_corpus():
    assert sum(name.startswith("crash-") for name in IMAGES) == 145
    assert {"attribute-table-segv.qrd", "zero-chunk-sigfpe.qrd"} <= set(IMAGES)


@pytest.mark.parametrize("name", IMAGES)
def test_a_damaged_image_is_read_or_refused(outcomes, name):
    # The child catches ValueError and OSError alone.
    assert outcomes[name] == "read" or outcomes[name].startswith("refused "), outcomes[name]
