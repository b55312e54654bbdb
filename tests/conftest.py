"""Targets the behaviour table runs against: the Linux build against the stand-in for Windows,
the same with AddressSanitizer and UndefinedBehaviorSanitizer, and (where Wine is installed) the
real Windows executable under Wine.

Each target lays out a fresh stand-in system folder for every case, runs the program as a user
would (from a starting folder, with no input), and reads back the stand-in's journal.
"""

import json
import os
import pathlib
import shutil
import subprocess
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = pathlib.Path(os.environ.get("BUILD_DIR", ROOT / "build"))

# Long enough for a loaded CI machine; cases normally finish in well under a second.
SETTLE_SECONDS = 60


class Result:
    def __init__(self, stdout, stderr, status, journal_path):
        self.stdout = stdout
        self.stderr = stderr
        self.status = status
        self.journal_path = journal_path

    def journal(self):
        if not self.journal_path.exists():
            return []
        return [json.loads(line) for line in self.journal_path.read_text().splitlines()]

    def launches(self):
        """What the program asked of the shell, where the stand-in shell saw it (not under Wine)."""
        return [r for r in self.journal() if r["event"] == "ShellExecuteExA"]

    def powershells(self):
        return [r for r in self.journal() if r["event"] == "powershell"]


class HostTarget:
    """The Linux build: the program and the stand-in tools from build/<preset>."""

    stand_in_shell = True

    def __init__(self, preset):
        self.name = preset
        self.build = BUILD / preset
        self.exe = self.build / "enable-tcp-timestamps"

    def check_built(self):
        if not self.exe.exists():
            pytest.fail(f"{self.exe} is missing: build it with 'cmake --workflow --preset {self.name}'")

    def new_machine(self, tmp):
        system = tmp / "System32"
        subprocess.run([ROOT / "standin" / "make-system-dir", self.build / "standin", system], check=True)
        return HostMachine(self, tmp, system)


class HostMachine:
    def __init__(self, target, tmp, system):
        self.target = target
        self.tmp = tmp
        self.system = system
        self.journal_path = tmp / "journal.jsonl"

    def remove_powershell(self):
        shutil.rmtree(self.system / "WindowsPowerShell")

    def plant_powershell(self, folder):
        # The same stand-in, so that a run of it shows in the journal with the folder it ran from.
        for name in ("powershell.exe", "powershell"):
            shutil.copy(self.system / "WindowsPowerShell" / "v1.0" / "powershell.exe", folder / name)

    def timestamps_state(self):
        state = self.system / "tcp-global.txt"
        return state.read_text().strip() if state.exists() else "disabled"

    def is_launched(self, record):
        return record["elevated"]

    def is_display(self, record):
        return not record["elevated"] and record["parent"] == "sh"

    def in_folder(self, image, folder):
        return pathlib.Path(image).parent == folder

    def run(self, args=(), cwd=None, consent=None, system_dir="set"):
        env = {
            # "." first: cmd.exe looks in the current folder before PATH, and so must the display here.
            "PATH": ":".join([".", str(self.system), str(self.system / "WindowsPowerShell" / "v1.0"), "/usr/bin", "/bin"]),
            "STANDIN_JOURNAL": str(self.journal_path),
            "ASAN_OPTIONS": "detect_leaks=1:abort_on_error=0",
            "UBSAN_OPTIONS": "print_stacktrace=1",
        }
        if system_dir == "set":
            env["STANDIN_SYSTEM_DIR"] = str(self.system)
        elif system_dir == "missing":
            env["STANDIN_SYSTEM_DIR"] = str(self.tmp / "no-such-folder")
        if consent is not None:
            env["STANDIN_CONSENT"] = consent
        done = subprocess.run([self.target.exe, *args], cwd=cwd or self.tmp, env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=SETTLE_SECONDS)
        return Result(done.stdout.decode(), done.stderr.decode(), done.returncode, self.journal_path)


def wait_for(condition, what):
    deadline = time.monotonic() + SETTLE_SECONDS
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail(f"gave up waiting for {what}")
        time.sleep(0.05)


TARGETS = [HostTarget("host"), HostTarget("host-asan")]


@pytest.fixture(params=TARGETS, ids=lambda t: t.name)
def target(request):
    request.param.check_built()
    return request.param


@pytest.fixture
def machine(target, tmp_path):
    return target.new_machine(tmp_path)
