import pathlib
import subprocess

import quillrun_sdk
from quillrun_sdk import _quillrun_sdk


def test_extension_is_one_abi3_file():
    assert pathlib.Path(_quillrun_sdk.__file__).name == "_quillrun_sdk.abi3.so"


def test_package_exports_what_the_module_registers():
    assert quillrun_sdk.__all__ == list(_quillrun_sdk.__all__)


def test_extension_exports_only_its_init_function():
    # Anything else exported could bind to, or be bound by, another extension
    # loaded into the same process.
    nm = subprocess.run(["nm", "-D", "--defined-only", _quillrun_sdk.__file__],
                        capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in nm.stdout.splitlines()] == ["PyInit__quillrun_sdk"]


def test_extension_carries_its_hdf5_and_libdeflate():
    ldd = subprocess.run(["ldd", _quillrun_sdk.__file__], capture_output=True, text=True, check=True)
    needed = [line.split()[0] for line in ldd.stdout.splitlines() if line.strip()]
    assert needed and not [name for name in needed if "hdf5" in name or "deflate" in name]
