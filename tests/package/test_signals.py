"""The command line under signals and closed pipes, and its values checked
where they are parsed: SIGTERM like Ctrl-C, a signal while the command line
loads, a reader of standard output that goes away, and one line naming the
option for every value out of range. Signals are real, sent to real
`python -m quillet` subprocesses."""

from __future__ import annotations

import os
import re
import select
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
from fits_cubes import line_cube, spectral_cards, write_cube

from quillet.cli import main

COMMAND = [sys.executable, "-m", "quillet"]
# The console script `quillet` is `quillet.cli:main` called after importing it.
CONSOLE_SCRIPT = [
    sys.executable, "-c", "import sys; from quillet.cli import main; sys.exit(main())"
]  # fmt: skip
VELOCITY = np.arange(-75.0, 76.0, 10.0)
VOPT = spectral_cards("VOPT", -75.0, 10.0, cunit="km/s")


@pytest.fixture(scope="module")
def cube(tmp_path_factory):
    data = line_cube(VELOCITY, (200, 200), sigma=20.0).astype(np.float32)
    return write_cube(tmp_path_factory.mktemp("cube") / "cube.fits", data, VOPT)


def messages(text: str) -> list[str]:
    """The lines of standard error that are not the progress bar."""
    return [m for m in re.split(r"[\r\n]+", text) if m.strip() and not m.startswith("fitting")]


@pytest.mark.parametrize(
    ("signum", "status", "words"),
    [(signal.SIGINT, 130, "quillet: interrupted"), (signal.SIGTERM, 143, "quillet: terminated")],
    ids=["SIGINT", "SIGTERM"],
)
def test_a_signal_during_the_fit_ends_with_one_line_and_no_file(tmp_path, cube, signum, status,
                                                                words):  # fmt: skip
    out = tmp_path / "maps.fits"
    process = subprocess.Popen(
        [*COMMAND, "fit", str(cube), "--out", str(out), "--chunk-rows", "1"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
    )  # fmt: skip
    try:
        seen = b""
        deadline = time.monotonic() + 60.0
        while b"fitting" not in seen:
            ready, _, _ = select.select([process.stderr], [], [], deadline - time.monotonic())
            chunk = os.read(process.stderr.fileno(), 4096) if ready else b""
            assert chunk, f"the fit never began: {seen!r}"
            seen += chunk
        process.send_signal(signum)
        stdout, stderr = process.communicate(timeout=30)
    finally:
        process.kill()
        process.wait()
    assert process.returncode == status
    text = (seen + stderr).decode()
    assert "Traceback" not in text
    found = messages(text)
    assert len(found) == 1 and found[0].startswith(words), found
    assert b"wrote" not in stdout
    assert list(tmp_path.iterdir()) == []


def catches_sigterm(pid: int) -> bool:
    """Whether the process has its SIGTERM handler: the command line's
    first step, before it imports anything heavy."""
    with open(f"/proc/{pid}/status") as status:
        caught = next(line for line in status if line.startswith("SigCgt:"))
    return bool(int(caught.split()[1], 16) & (1 << (signal.SIGTERM - 1)))


@pytest.mark.parametrize("entry", [COMMAND, CONSOLE_SCRIPT], ids=["python -m", "console script"])
@pytest.mark.parametrize(("signum", "status"), [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_signal_while_the_command_line_loads(tmp_path, cube, entry, signum, status):
    process = subprocess.Popen([*entry, "info", str(cube)], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)  # fmt: skip
    try:
        deadline = time.monotonic() + 30.0
        while not catches_sigterm(process.pid):
            assert time.monotonic() < deadline and process.poll() is None
            time.sleep(0.0005)
        # numpy, astropy and the extension are still to be imported.
        process.send_signal(signum)
        stdout, stderr = process.communicate(timeout=60)
    finally:
        process.kill()
        process.wait()
    assert process.returncode == status, stderr
    assert stdout == ""
    assert "Traceback" not in stderr and len(stderr.splitlines()) == 1, stderr
    assert stderr.startswith("quillet: "), stderr


@pytest.fixture(scope="module")
def maps(tmp_path_factory, cube):
    folder = tmp_path_factory.mktemp("maps")
    small = write_cube(folder / "small.fits", line_cube(VELOCITY, (3, 4)).astype(np.float32), VOPT)
    assert main(["fit", str(small), "--out", str(folder / "maps.fits"), "--quiet"]) == 0
    return folder / "maps.fits"


# argparse writes help and version itself and ignores a failed write: those
# end with 0 or 141, as the pipe's buffer decides, but quietly too.
@pytest.mark.parametrize(
    ("words", "statuses"),
    [("info CUBE", {141}), ("fit CUBE --out OUT/m.fits", {141}),
     ("plot MAPS --out OUT/m.png", {141}), ("--help", {0, 141}), ("fit --help", {0, 141}),
     ("--version", {0, 141})],
)  # fmt: skip
def test_a_closed_standard_output_ends_quietly(tmp_path, cube, maps, words, statuses):
    names = {"CUBE": str(cube), "MAPS": str(maps)}
    args = [names.get(w, w.replace("OUT", str(tmp_path))) for w in words.split()]
    process = subprocess.Popen([*COMMAND, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdout.close()  # the reader is gone before the first line (as `| head -0`)
    _, stderr = process.communicate(timeout=120)
    assert stderr == b""
    assert process.returncode in statuses


def test_info_piped_into_head(cube):
    shell = f"{' '.join(COMMAND)} info {cube} | head -1; echo status ${{PIPESTATUS[0]}}"
    done = subprocess.run(["bash", "-c", shell], capture_output=True, text=True, timeout=60)
    assert done.stdout.splitlines()[0] == f"file          {cube}"
    assert done.stdout.splitlines()[-1] in ("status 0", "status 141")
    assert done.stderr == ""


# Values out of range, each told in one line that names its option.
VALUE_MISTAKES = [
    ("--connect-timeout -1", "argument --connect-timeout: '-1' must be positive"),
    ("--connect-timeout 0", "--connect-timeout: '0' must be positive"),
    ("--connect-timeout nan", "--connect-timeout: 'nan' is not a finite number"),
    ("--worker-timeout -5", "--worker-timeout: '-5' must be positive"),
    ("--worker-timeout soon", "--worker-timeout: 'soon' is not a number"),
    ("--scheduler local:1 --chunks 0", "--chunks: takes auto"),
    ("--scheduler local:1 --chunks 3,-1", "--chunks: takes auto"),
    ("--scheduler local:1 --chunks a,b", "--chunks: takes auto"),
    ("--scheduler local:0", "--scheduler: 'local:0': write local:N"),
    ("--scheduler local:99999", "--scheduler: 'local:99999': write local:N"),
    ("--noise -1", "--noise: takes 'auto' or a positive number, not '-1'"),
    ("--noise inf", "--noise: takes 'auto' or a positive number, not 'inf'"),
    ("--npix 100000000000000000000", "--npix: 100000000000000000000 is out of range"),
    ("--max-iter -2", "--max-iter: -2 is out of range"),
    ("--diagnostics-max -1", "--diagnostics-max: -1 is out of range"),
    ("--chunk-rows 0", "--chunk-rows: 0 is out of range"),
    ("--line-sigma inf", "--line-sigma: 'inf' is not a finite number"),
    ("--redshift x", "--redshift: 'x' is not a number"),
]


@pytest.mark.parametrize(("words", "message"), VALUE_MISTAKES, ids=[w for w, _ in VALUE_MISTAKES])
def test_values_are_checked_where_they_are_parsed(capsys, tmp_path, cube, words, message):
    status = main(["fit", str(cube), "--out", str(tmp_path / "m.fits"), *words.split()])
    out, err = capsys.readouterr()
    assert (status, out) == (2, "")
    assert "Traceback" not in err and err.count("\n") == 1
    assert message in err, err
    assert list(tmp_path.iterdir()) == []
