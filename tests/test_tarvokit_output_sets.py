"""Output folders under every ordering: one run at a time however locks are taken and released,
no symbolic link written through, and a set of files that is one run's, or refused as mixed,
whenever a run is killed between its renames."""

import fcntl
import json
import signal
import subprocess
import sys

import pytest

import tarvokit
from tarvokit.data import files
from tarvokit.data.files import LOCK_NAME, MANIFEST_NAME, OutputError, OutputFolder

from test_tarvokit_cli import ENVIRONMENT, SMALL, tarvo_command


def holder(folder) -> str:
    return json.loads((folder / LOCK_NAME).read_text())["command"]


def test_a_run_that_locks_a_file_released_meanwhile_does_not_share_the_folder(tmp_path,
                                                                                monkeypatch):
    """The second run opens the lock file; before it locks it, the first run releases the
    folder and a third takes it. The second must then find the folder in use by the third."""
    out = tmp_path / "out"
    first = OutputFolder(out, "first").__enter__()
    real_flock = fcntl.flock
    runs = {}

    def flock(handle, operation):
        if "third" not in runs:
            runs["third"] = None  # the third's own flock below goes straight through
            first.release()
            runs["third"] = OutputFolder(out, "third").__enter__()
        return real_flock(handle, operation)

    monkeypatch.setattr(files.fcntl, "flock", flock)
    with pytest.raises(OutputError, match="in use by another tarvo run .*`third`"):
        OutputFolder(out, "second").__enter__()
    monkeypatch.undo()
    assert holder(out) == "third"
    with pytest.raises(OutputError, match="`third`"):
        OutputFolder(out, "fourth").__enter__()
    runs["third"].release()
    with OutputFolder(out, "fifth"):
        assert holder(out) == "fifth"


@pytest.mark.parametrize("release_at", ["before-open", "between-open-and-lock", "after-lock"])
def test_two_runs_never_hold_the_folder_at_once(tmp_path, monkeypatch, release_at):
    """The first run releases the folder before the second opens the lock file, between its
    open and its lock, or after its lock attempt: the second then holds the folder alone, or
    is refused naming the first; a third is refused while either holds it."""
    out = tmp_path / "out"
    first = OutputFolder(out, "first").__enter__()
    if release_at == "before-open":
        first.release()
    real_flock = fcntl.flock

    def flock(handle, operation):
        if release_at == "between-open-and-lock" and first._lock is not None:
            first.release()  # it made the folder and wrote nothing: the folder goes too
        return real_flock(handle, operation)

    monkeypatch.setattr(files.fcntl, "flock", flock)
    try:
        second = OutputFolder(out, "second").__enter__()
    except OutputError as refused:
        assert release_at == "after-lock" and "`first`" in str(refused)
        with pytest.raises(OutputError, match="`first`"):
            OutputFolder(out, "third").__enter__()
        first.release()
        return
    monkeypatch.undo()
    assert release_at != "after-lock" and holder(out) == "second"
    with pytest.raises(OutputError, match="`second`"):
        OutputFolder(out, "third").__enter__()
    second.release()


def test_a_lock_file_that_is_a_link_is_refused_and_its_target_kept(tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    keep = tmp_path / "keep.txt"
    keep.write_text("mine")
    (out / LOCK_NAME).symlink_to("../keep.txt")
    with pytest.raises(OutputError, match="symbolic link"):
        OutputFolder(out, "run").__enter__()
    assert keep.read_text() == "mine"


def test_a_file_of_the_set_that_is_a_link_is_refused_before_any_rename(tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    keep = tmp_path / "keep.txt"
    keep.write_text("mine")
    (out / "b.txt").symlink_to("../keep.txt")
    with OutputFolder(out) as folder, pytest.raises(OutputError, match="symbolic link"):
        folder.write_set({"a.txt": lambda p: p.write_text("a"),
                          "b.txt": lambda p: p.write_text("b")})
    assert keep.read_text() == "mine" and not (out / "a.txt").exists()


def test_a_results_file_that_is_a_link_is_not_read(tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    (out / "results.json").symlink_to("/etc/hostname")
    with pytest.raises(tarvokit.ResultError, match="symbolic link"):
        tarvokit.read(out)


# --- Signals between the renames ----------------------------------------------------------

# Runs the command with os.replace stopping the process (by `signal`) right after the
# `after`-th file of a set is renamed from its staging folder into the output folder.
STOPPED_RUN = """
import os, signal, sys
from pathlib import Path

stop, after = int(sys.argv[1]), int(sys.argv[2])
real, moved = os.replace, []

def replace(source, target):
    real(source, target)
    if Path(source).parent.name.startswith(".tarvo-staging-") \
            and not Path(target).parent.name.startswith(".tarvo-staging-"):
        moved.append(target)
        if len(moved) == after:
            os.kill(os.getpid(), stop)

os.replace = replace
from tarvokit.command.cli import main
sys.exit(main(sys.argv[3:]))
"""


def stopped_run(stop: int, after: int, *argv: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", STOPPED_RUN, str(stop), str(after), *argv],
                          capture_output=True, text=True, env=ENVIRONMENT, timeout=300)


@pytest.fixture
def first_run(tmp_path):
    model = tmp_path / "pumps.toml"
    model.write_text(SMALL)
    out = tmp_path / "out"
    assert tarvo_command("run", str(model), "--histories", "400", "--no-progress", "--out",
                         str(out)).returncode == 0
    return model, out


@pytest.mark.parametrize("after", [1, 2, 3])
def test_a_run_killed_between_its_renames_leaves_a_set_the_reader_refuses(first_run, after):
    model, out = first_run
    killed = stopped_run(signal.SIGKILL, after, "run", str(model), "--resume", str(out),
                         "--histories", "200", "--no-progress")
    assert killed.returncode == -signal.SIGKILL
    names = ["report.txt", "results.json", "curve.csv", "report.html", "plot.png"]
    with pytest.raises(tarvokit.ResultError) as refused:
        tarvokit.read(out)
    message = str(refused.value)
    assert message.startswith(f"{out}: a mixed set of files: {', '.join(names[:after])}")
    assert f"beside {', '.join(names[after:])}" in message and "\n" not in message
    drawn = tarvo_command("plot", str(out))
    assert drawn.returncode == 2 and "mixed set" in drawn.stderr
    # Running again makes the folder whole (and removes the killed run's staging folder).
    again = tarvo_command("run", str(model), "--histories", "300", "--no-progress", "--out",
                          str(out))
    assert again.returncode == 0, again.stderr
    assert tarvokit.read(out).histories == 300
    assert [p.name for p in out.iterdir() if p.name.startswith(".tarvo-staging")] == []


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM])
def test_ctrl_c_between_the_renames_waits_for_the_whole_set(first_run, stop):
    model, out = first_run
    stopped = stopped_run(stop, 1, "run", str(model), "--resume", str(out), "--histories",
                          "200", "--no-progress")
    assert stopped.returncode == (130 if stop == signal.SIGINT else 143), stopped.stderr
    assert "no file written" not in stopped.stderr and "Traceback" not in stopped.stderr
    assert stopped.stderr.strip() == ("tarvo: interrupted; report.txt, results.json, curve.csv,"
                                      f" report.html, plot.png written to {out}")
    whole = tarvokit.read(out)
    assert whole.histories == 600 and not whole.interrupted
    assert "600 histories" in (out / "report.txt").read_text()
    manifest = json.loads((out / MANIFEST_NAME).read_text())
    assert len({entry["run"] for entry in manifest["files"].values()}) == 1


def test_a_plot_redrawn_keeps_the_folder_readable(first_run):
    model, out = first_run
    assert tarvo_command("plot", str(out)).returncode == 0
    assert tarvokit.read(out).histories == 400
    (out / "curve.csv").write_text((out / "curve.csv").read_text().replace("\n0,", "\n0,", 1)
                                   + "\n")
    with pytest.raises(tarvokit.ResultError, match="curve.csv is not what its manifest lists"):
        tarvokit.read(out)


def test_a_folder_from_before_manifests_stays_readable_after_a_plot(first_run):
    model, out = first_run
    (out / MANIFEST_NAME).unlink()
    assert tarvo_command("plot", str(out)).returncode == 0
    assert list(json.loads((out / MANIFEST_NAME).read_text())["files"]) == ["plot.png"]
    assert tarvokit.read(out).histories == 400
