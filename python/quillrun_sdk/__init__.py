"""Software development kit of the .qrd GNSS trace file."""

from importlib.metadata import version as _version

from quillrun_sdk import _quillrun_sdk
from quillrun_sdk._quillrun_sdk import *  # noqa: F401,F403

__all__ = list(_quillrun_sdk.__all__)
__version__ = _version("quillrun_sdk")
