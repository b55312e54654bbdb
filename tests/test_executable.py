"""The file a user downloads: enable-tcp-timestamps.exe itself, how it builds, and its package."""

import hashlib
import re
import shutil
import subprocess
import xml.etree.ElementTree as ET
import zipfile

import pefile
import pytest

from conftest import BUILD, ROOT

EXE = BUILD / "windows" / "enable-tcp-timestamps.exe"

RT_MANIFEST = 24
RT_VERSION = 16
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3

# Present on every Windows the program supports; nothing from a compiler's runtime.
SYSTEM_DLLS = {"kernel32.dll", "shell32.dll", "msvcrt.dll", "user32.dll", "advapi32.dll", "ntdll.dll"}

# The published compatibility identifiers of Windows Vista, 7, 8, 8.1 and 10.
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
}


@pytest.fixture(scope="module")
def pe():
    if not EXE.exists():
        pytest.fail(f"{EXE} is missing: build it with 'cmake --workflow --preset windows'")
    return pefile.PE(str(EXE))


def project_version():
    cache = (BUILD / "windows" / "CMakeCache.txt").read_text()
    return re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.*)$", cache, re.M).group(1)


def resources(pe, type_id):
    """(id, language, bytes) of every resource of one type."""
    found = []
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != type_id:
            continue
        for entry in kind.directory.entries:
            for language in entry.directory.entries:
                data = language.data.struct
                found.append((entry.id, language.id, pe.get_data(data.OffsetToData, data.Size)))
    return found


def test_is_a_64_bit_console_program(pe):
    assert pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]
    assert pe.OPTIONAL_HEADER.Magic == pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS
    assert pe.OPTIONAL_HEADER.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI


def test_imports_only_system_dlls(pe):
    imports = {entry.dll.decode().lower(): {i.name.decode() for i in entry.imports if i.name}
               for entry in pe.DIRECTORY_ENTRY_IMPORT}
    assert set(imports) <= SYSTEM_DLLS, set(imports) - SYSTEM_DLLS
    # The 8-bit launch call and the error code come from the system, as on a user's machine.
    assert "ShellExecuteExA" in imports["shell32.dll"]
    assert {"GetLastError", "GetSystemDirectoryA", "SetCurrentDirectoryA"} <= imports["kernel32.dll"]


def test_manifest_runs_as_invoker_on_vista_to_10(pe):
    manifests = resources(pe, RT_MANIFEST)
    assert [(rid, language) for rid, language, _ in manifests] == [(1, 1033)]
    root = ET.fromstring(manifests[0][2])
    levels = [e.attrib for e in root.iter() if e.tag.endswith("}requestedExecutionLevel")]
    assert levels == [{"level": "asInvoker", "uiAccess": "false"}]
    ids = [e.attrib["Id"].lower() for e in root.iter() if e.tag.endswith("}supportedOS")]
    assert sorted(ids) == sorted(SUPPORTED_OS)


def test_version_resource_names_the_program(pe):
    assert len(resources(pe, RT_VERSION)) == 1
    strings = {k.decode(): v.decode()
               for info in pe.FileInfo[0] if info.Key == b"StringFileInfo"
               for table in info.StringTable for k, v in table.entries.items()}
    version = project_version()
    assert strings["ProductName"] == "enable-tcp-timestamps"
    assert strings["OriginalFilename"] == "enable-tcp-timestamps.exe"
    assert "TCP timestamps" in strings["FileDescription"]
    assert strings["FileVersion"] == strings["ProductVersion"] == version
    major, minor, patch = (int(n) for n in version.split("."))
    fixed = pe.VS_FIXEDFILEINFO[0]
    assert (fixed.FileVersionMS, fixed.FileVersionLS) == ((major << 16) | minor, patch << 16)


def clean_release_build(folder):
    """The release workflow on a copy of the source tree in a folder of its own."""
    files = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard", "-z"], cwd=ROOT,
                           check=True, capture_output=True).stdout.decode().split("\0")
    for name in filter(None, files):
        if (ROOT / name).is_file():
            (folder / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / name, folder / name)
    subprocess.run(["cmake", "--workflow", "--preset", "release"], cwd=folder, check=True, capture_output=True)
    return folder / "build" / "release"


@pytest.fixture(scope="module")
def release_builds(tmp_path_factory):
    base = tmp_path_factory.mktemp("release")
    return [clean_release_build(base / name) for name in ("first", "second-in-another-folder")]


def test_builds_are_byte_identical(release_builds):
    first, second = (build / "enable-tcp-timestamps.exe" for build in release_builds)
    assert first.read_bytes() == second.read_bytes()
    # ...and the file the tests ran is the file that ships.
    assert first.read_bytes() == EXE.read_bytes()


def test_release_package(release_builds):
    version = project_version()
    package = release_builds[0] / f"enable-tcp-timestamps-{version}-win64.zip"
    folder = f"enable-tcp-timestamps-{version}-win64/"
    with zipfile.ZipFile(package) as z:
        assert sorted(z.namelist()) == [folder + n for n in ("README.md", "SHA256SUMS", "enable-tcp-timestamps.exe")]
        exe = z.read(folder + "enable-tcp-timestamps.exe")
        readme = z.read(folder + "README.md")
        sums = z.read(folder + "SHA256SUMS").decode()
    assert exe == EXE.read_bytes()
    assert readme == (ROOT / "README.md").read_bytes()
    assert sums == (f"{hashlib.sha256(exe).hexdigest()}  enable-tcp-timestamps.exe\n"
                    f"{hashlib.sha256(readme).hexdigest()}  README.md\n")
