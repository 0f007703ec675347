"""Running a script in a fresh interpreter, for tests that need a process of
their own: one whose worker pool, environment or peak memory no earlier test
has touched."""

import json
import os
import subprocess
import sys


def run(script, *argv, **environment):
    """Runs `script` with `argv` in a fresh interpreter that imports what this
    one does, with the pool-size variables cleared and `environment` added;
    returns the finished process with its output."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(environment, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run(
        [sys.executable, "-c", script, *map(str, argv)],
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )


def run_json(script, *argv, **environment):
    """As run(), and returns the JSON the script printed. A failing script
    fails the test with its standard error."""
    done = run(script, *argv, **environment)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)
