"""The command line as a real subprocess: started, and watched until it
says it has begun to fit."""

from __future__ import annotations

import os
import select
import subprocess
import sys
import time
from typing import Any

COMMAND = [sys.executable, "-m", "quillet"]


def start_fit(*args: Any) -> tuple[subprocess.Popen[bytes], bytes]:
    """``quillet fit ARGS`` started, once its progress bar on standard error
    says the fit has begun; what it has written there so far."""
    process = subprocess.Popen(
        [*COMMAND, "fit", *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    seen = b""
    deadline = time.monotonic() + 60.0
    try:
        while b"fitting" not in seen:
            ready, _, _ = select.select([process.stderr], [], [], deadline - time.monotonic())
            chunk = os.read(process.stderr.fileno(), 4096) if ready else b""
            assert chunk, f"the fit never began: {seen!r}"
            seen += chunk
    except BaseException:
        process.kill()
        process.wait()
        raise
    return process, seen
