"""The release build of a source tree, made in a folder of its own: what tools/verify-release
compares a downloaded package with, and what the tests compare the tested executable with.

Needs only Python's standard library and cmake with the mingw-w64 cross-compiler; no git, so that
it works as well on a tree unpacked from a source archive as on a checkout.
"""

import fnmatch
import os
import pathlib
import re
import shutil
import subprocess

NAME = "enable-tcp-timestamps"
EXE = NAME + ".exe"


def project_version(root):
    """The version in project(... VERSION x.y.z ...) of the tree's CMakeLists.txt."""
    text = (pathlib.Path(root) / "CMakeLists.txt").read_text()
    found = re.search(r"project\(\s*" + re.escape(NAME) + r"\s+VERSION\s+(\d+\.\d+\.\d+)", text)
    if not found:
        raise ValueError(f"no project({NAME} VERSION ...) in {root}/CMakeLists.txt")
    return found.group(1)


def package_name(version):
    """The package's file name without .zip, which is also the folder inside it."""
    return f"{NAME}-{version}-win64"


def _ignore_rules(root):
    """The root .gitignore's patterns as (pattern, directories only, anchored at the root).
    Only the simple forms are understood; anything else is refused rather than half-followed."""
    rules = [(".git", False, False)]
    gitignore = root / ".gitignore"
    for line in gitignore.read_text().splitlines() if gitignore.exists() else []:
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("!") or "**" in line:
            raise ValueError(f"{gitignore}: pattern {line!r} is beyond what copy_source_tree follows")
        directories_only = line.endswith("/")
        line = line.rstrip("/")
        anchored = "/" in line
        rules.append((line.lstrip("/"), directories_only, anchored))
    return rules


def _ignored(relative, is_dir, rules):
    for pattern, directories_only, anchored in rules:
        if directories_only and not is_dir:
            continue
        if fnmatch.fnmatchcase(relative if anchored else relative.rsplit("/", 1)[-1], pattern):
            return True
    return False


def copy_source_tree(root, destination):
    """Copies the tree as a fresh clone would have it, with what it has not committed yet: every
    file but .git and what .gitignore leaves out (build/ and other output)."""
    root, destination = pathlib.Path(root), pathlib.Path(destination)
    rules = _ignore_rules(root)
    for folder, dirs, files in os.walk(root):
        here = pathlib.Path(folder).relative_to(root)
        dirs[:] = sorted(d for d in dirs if not _ignored((here / d).as_posix(), True, rules))
        (destination / here).mkdir(parents=True, exist_ok=True)
        for name in files:
            if not _ignored((here / name).as_posix(), False, rules):
                shutil.copy2(root / here / name, destination / here / name, follow_symlinks=False)


def build_release(source, signing=None):
    """Runs the release workflow in a source tree and returns its build folder. The package is
    signed only with the CODE_SIGNING_* variables given here, never with the caller's own."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("CODE_SIGNING_")}
    env.update(signing or {})
    done = subprocess.run(["cmake", "--workflow", "--preset", "release"], cwd=source, env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if done.returncode != 0:
        raise BuildFailed(done.stdout)
    return pathlib.Path(source) / "build" / "release"


class BuildFailed(Exception):
    """The release workflow failed; the exception holds its output."""

    @property
    def output(self):
        return self.args[0]
