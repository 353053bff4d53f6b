import pathlib

import quillrun_sdk
from quillrun_sdk import _quillrun_sdk


def test_extension_is_one_abi3_file():
    assert pathlib.Path(_quillrun_sdk.__file__).name == "_quillrun_sdk.abi3.so"


def test_package_exports_what_the_module_registers():
    assert quillrun_sdk.__all__ == list(_quillrun_sdk.__all__)
