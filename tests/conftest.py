"""Targets the behaviour table runs against: the Linux build against the stand-in for Windows,
the same with AddressSanitizer and UndefinedBehaviorSanitizer, and the real Windows executable
under Wine.

Each target sets up its system folder afresh for every case, runs the program as a user would
(from a starting folder, with no input), and reads back the stand-in's journal.
"""

import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import time
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = pathlib.Path(os.environ.get("BUILD_DIR", ROOT / "build"))

sys.path.insert(0, str(ROOT / "tools"))
import release_build  # noqa: E402  (tools/: the release build that tools/verify-release also makes)

# Long enough for a loaded CI machine; cases normally finish in well under a second.
SETTLE_SECONDS = 60


class Result:
    def __init__(self, stdout, stderr, status, journal_path, wine_report=()):
        self.stdout = stdout
        self.stderr = stderr
        self.status = status
        self.journal_path = journal_path
        self.wine_report = list(wine_report)  # what Wine's debug channels printed, line by line

    def journal(self):
        if not self.journal_path.exists():
            return []
        return [json.loads(line) for line in self.journal_path.read_text().splitlines()]

    def launches(self):
        """What the program asked of the shell, where the stand-in shell saw it (not under Wine)."""
        return [r for r in self.journal() if r["event"] == "ShellExecuteExA"]

    def powershells(self):
        return [r for r in self.journal() if r["event"] == "powershell"]

    def manifest_errors(self):
        """What Wine reported as errors reading the executable's manifest."""
        return [line for line in self.wine_report if ":err:actctx:" in line]

    def findstrs(self):
        return [r for r in self.journal() if r["event"] == "findstr"]


class Machine:
    """One case's world: a system folder set up afresh, a journal, and a temporary folder."""

    def __init__(self, target, tmp, system):
        self.target = target
        self.tmp = tmp
        self.system = system
        self.journal_path = tmp / "journal.jsonl"

    def timestamps_state(self):
        state = self.system / "tcp-global.txt"
        return state.read_text().strip() if state.exists() else "disabled"



class HostTarget:
    """The Linux build: the program and the stand-in tools from build/<preset>."""

    stand_in_shell = True  # the shell calls are the stand-in's, so it sees every field and can decline

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


class HostMachine(Machine):
    def remove_powershell(self):
        shutil.rmtree(self.system / "WindowsPowerShell")

    def plant_powershell(self, folder):
        # The same stand-in, so that a run of it shows in the journal with the folder it ran from.
        for name in ("powershell.exe", "powershell"):
            shutil.copy(self.system / "WindowsPowerShell" / "v1.0" / "powershell.exe", folder / name)

    def is_launched(self, record):
        return record["elevated"]

    def is_display(self, record):
        return not record["elevated"] and record["parent"] == "sh"

    def in_folder(self, image, folder):
        return pathlib.Path(image).parent == folder

    def is_system_tool(self, image, tool):
        return pathlib.Path(image) == {"powershell": self.system / "WindowsPowerShell" / "v1.0" / "powershell.exe",
                                       "findstr": self.system / "findstr"}[tool]

    def shell_command_line(self, line):
        """How the stand-in's tools see the shell that system() starts: glibc runs /bin/sh -c LINE."""
        return ["sh", "-c", line]

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


class WineTarget:
    """The real Windows executable under Wine, with the Windows builds of the stand-in tools put in
    place of Wine's own powershell.exe, netsh.exe and findstr.exe, which print nothing."""

    name = "wine"
    stand_in_shell = False  # Wine's own shell: it shows no consent prompt and journals nothing

    def __init__(self, exe=None):
        self.build = BUILD / "windows"
        self.exe = exe or self.build / "enable-tcp-timestamps.exe"
        self.prefix = None

    def with_exe(self, exe):
        """The same prefix and tools, running another build of the program (a signed one, say)."""
        other = WineTarget(exe)
        other.prefix = self.prefix
        return other

    def check_built(self):
        if shutil.which("wine") is None:
            pytest.fail("wine is missing: 'make test' installs it")
        for exe in (self.exe, *(self.build / "standin" / f"{t}.exe" for t in ("powershell", "netsh", "findstr"))):
            if not exe.exists():
                pytest.fail(f"{exe} is missing: build it with 'cmake --workflow --preset windows'")

    def env(self):
        env = dict(os.environ, WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                   # Wine starts its own findstr and netsh unless asked for the ones in system32.
                   WINEDLLOVERRIDES="findstr.exe,netsh.exe=n")
        return env

    def make_prefix(self, folder):
        self.prefix = folder
        subprocess.run(["wine", "cmd", "/c", "exit"], env=self.env(), check=True, capture_output=True,
                       timeout=300)

    def end_prefix(self):
        subprocess.run(["wineserver", "-k"], env=self.env(), check=False)

    def new_machine(self, tmp):
        system = self.prefix / "drive_c" / "windows" / "system32"
        tools = self.build / "standin"
        (system / "WindowsPowerShell" / "v1.0").mkdir(parents=True, exist_ok=True)
        shutil.copy(tools / "powershell.exe", system / "WindowsPowerShell" / "v1.0" / "powershell.exe")
        shutil.copy(tools / "netsh.exe", system / "netsh.exe")
        shutil.copy(tools / "findstr.exe", system / "findstr.exe")
        (system / "tcp-global.txt").unlink(missing_ok=True)
        return WineMachine(self, tmp, system)


def windows_path(path):
    """Wine's Z: drive is the Linux root."""
    return "Z:" + str(path).replace("/", "\\")


class WineMachine(Machine):
    def remove_powershell(self):
        (self.system / "WindowsPowerShell" / "v1.0" / "powershell.exe").unlink()

    def plant_powershell(self, folder):
        shutil.copy(self.target.build / "standin" / "powershell.exe", folder / "powershell.exe")

    def is_launched(self, record):
        return record["parent"].lower() == "enable-tcp-timestamps.exe"

    def is_display(self, record):
        return record["parent"].lower() == "cmd.exe"

    def in_folder(self, image, folder):
        return image.lower().rsplit("\\", 1)[0] == windows_path(folder).lower()

    def is_system_tool(self, image, tool):
        return image.lower() == {"powershell": r"c:\windows\system32\windowspowershell\v1.0\powershell.exe",
                                 "findstr": r"c:\windows\system32\findstr.exe"}[tool]

    def shell_command_line(self, line):
        """The command line that system() gives the command interpreter under Wine."""
        return "C:\\windows\\system32\\cmd.exe /c " + line

    def run(self, args=(), cwd=None, consent=None, system_dir="set"):
        # Wine makes every launch it is asked for and always has its system folder.
        assert set((consent or "yes").split(",")) == {"yes"} and system_dir == "set"
        # Wine reports each launch request its shell receives, and any error reading the manifest.
        env = dict(self.target.env(), STANDIN_JOURNAL=windows_path(self.journal_path),
                   WINEDEBUG="-all,trace+exec,err+actctx")
        done = subprocess.run(["wine", self.target.exe, *args], cwd=cwd or self.tmp, env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=SETTLE_SECONDS)
        stderr, report = split_wine_report(done.stderr.decode())
        # A Windows console or pipe ends lines with CR LF.
        return Result(done.stdout.decode().replace("\r\n", "\n"), stderr, done.returncode, self.journal_path,
                      report)


WINE_THREAD = r"[0-9a-f]{4,}"  # the thread id that starts each line of Wine's debug report
WINE_REPORT_LINE = re.compile(WINE_THREAD + r":(trace|warn|err|fixme):\w+:.*")


def split_wine_report(stderr):
    """(what the program itself wrote to standard error, the lines of Wine's debug report)."""
    own, report = [], []
    for line in stderr.splitlines(keepends=True):
        if WINE_REPORT_LINE.fullmatch(line.rstrip("\r\n")):
            report.append(line.rstrip("\r\n"))
        else:
            own.append(line)
    return "".join(own), report


def wait_for(condition, what):
    deadline = time.monotonic() + SETTLE_SECONDS
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail(f"gave up waiting for {what}")
        time.sleep(0.05)


TARGETS = [HostTarget("host"), HostTarget("host-asan"), WineTarget()]


@pytest.fixture(scope="session")
def wine_prefix(tmp_path_factory):
    """One throwaway Wine prefix for the whole session: making one takes tens of seconds."""
    wine = next(t for t in TARGETS if isinstance(t, WineTarget))
    wine.make_prefix(tmp_path_factory.mktemp("wineprefix"))
    yield wine.prefix
    wine.end_prefix()


@pytest.fixture
def wine(wine_prefix):
    target = next(t for t in TARGETS if isinstance(t, WineTarget))
    target.check_built()
    return target


def package_files(package):
    """The files of a release package by name, after checking that it holds just its three."""
    folder = package.name.removesuffix(".zip")
    with zipfile.ZipFile(package) as z:
        assert sorted(z.namelist()) == [f"{folder}/{n}" for n in ("README.md", "SHA256SUMS", release_build.EXE)]
        return {n.split("/", 1)[1]: z.read(n) for n in z.namelist()}


@pytest.fixture(scope="session")
def release_builds(tmp_path_factory):
    """Two clean release builds of this tree, unsigned, in differently named folders."""
    base = tmp_path_factory.mktemp("release")
    builds = []
    for name in ("first", "second-in-another-folder"):
        release_build.copy_source_tree(ROOT, base / name)
        builds.append(release_build.build_release(base / name))
    return builds


@pytest.fixture(params=TARGETS, ids=lambda t: t.name)
def target(request):
    request.param.check_built()
    if isinstance(request.param, WineTarget):
        request.getfixturevalue("wine_prefix")
    return request.param


@pytest.fixture
def machine(target, tmp_path):
    return target.new_machine(tmp_path)
