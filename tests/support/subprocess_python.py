"""Runs a snippet in a fresh interpreter and hands back what it reported.

The snippet reports by calling `report(value)`, which prints `value` as JSON on
the last line of standard output. The child sees the same PYTHONPATH as the test
run (so it imports the build under test), optionally with folders put in front.
"""

import json
import os
import subprocess
import sys
import textwrap

_PRELUDE = (
    "import json as _json, sys as _sys\n"
    "def report(value):\n"
    "    _sys.stdout.write('\\n' + _json.dumps(value) + '\\n')\n"
)


def run_python(code, *, path_first=(), no_site=False, timeout=120, with_stderr=False):
    """Runs `code` in a new process; returns the value it reported (with
    `with_stderr`, that value and the child's standard error).

    `no_site` leaves the installed packages off sys.path, so that stand-ins on
    `path_first` cannot be bypassed by the real packages.
    """
    env = dict(os.environ)
    inherited = [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join([*map(str, path_first), *inherited])
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    argv = [sys.executable, *(["-S"] if no_site else []), "-c", _PRELUDE + textwrap.dedent(code)]
    done = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=timeout)
    if done.returncode != 0:
        raise AssertionError(
            f"child exited with {done.returncode}\nstdout:\n{done.stdout}\nstderr:\n{done.stderr}")
    lines = done.stdout.rstrip("\n").splitlines()
    if not lines:
        raise AssertionError(f"child reported nothing\nstderr:\n{done.stderr}")
    value = json.loads(lines[-1])
    return (value, done.stderr) if with_stderr else value
