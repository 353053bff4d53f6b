import subprocess
import sys
import textwrap

import pytest


@pytest.fixture
def run_isolated(tmp_path):
    """Runs a snippet in a fresh interpreter, for tests that change what the
    process keeps once made (imported enum classes, the logging sink)."""

    def run(code: str) -> str:
        result = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            cwd=tmp_path,
            capture_output=True,
            text=True,
            timeout=60,
        )
        assert result.returncode == 0, result.stdout + result.stderr
        return result.stdout

    return run
