"""Imports the kit and shows what its extension module offers."""

import quillrun_sdk
from quillrun_sdk import _quillrun_sdk


def main() -> None:
    print(f"quillrun_sdk {quillrun_sdk.__version__} from {_quillrun_sdk.__file__}")
    print("registered:", ", ".join(_quillrun_sdk.__all__) or "(nothing yet)")


if __name__ == "__main__":
    main()
