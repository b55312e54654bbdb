"""The file a user downloads: enable-tcp-timestamps.exe itself, how it builds, and its package."""

import hashlib
import struct
import subprocess
import xml.etree.ElementTree as ET

import pefile
import pytest

from conftest import BUILD, ROOT, package_files, release_build, wait_for

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


VERSION = release_build.project_version(ROOT)


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
    assert strings["ProductName"] == "enable-tcp-timestamps"
    assert strings["OriginalFilename"] == "enable-tcp-timestamps.exe"
    assert "TCP timestamps" in strings["FileDescription"]
    assert strings["FileVersion"] == strings["ProductVersion"] == VERSION
    major, minor, patch = (int(n) for n in VERSION.split("."))
    fixed = pe.VS_FIXEDFILEINFO[0]
    assert (fixed.FileVersionMS, fixed.FileVersionLS) == ((major << 16) | minor, patch << 16)


def test_builds_are_byte_identical(release_builds):
    first, second = (build / "enable-tcp-timestamps.exe" for build in release_builds)
    assert first.read_bytes() == second.read_bytes()
    # ...and the file the tests ran is the file that ships.
    assert first.read_bytes() == EXE.read_bytes()


def test_release_package(release_builds):
    files = package_files(release_builds[0] / f"{release_build.package_name(VERSION)}.zip")
    exe, readme, sums = files["enable-tcp-timestamps.exe"], files["README.md"], files["SHA256SUMS"].decode()
    assert exe == EXE.read_bytes()
    assert readme == (ROOT / "README.md").read_bytes()
    assert sums == (f"{hashlib.sha256(exe).hexdigest()}  enable-tcp-timestamps.exe\n"
                    f"{hashlib.sha256(readme).hexdigest()}  README.md\n")


def res_file_resources(data):
    """{(type, id): (language, bytes)} of a compiled resource file (.res), as rc.exe writes it:
    one header after another, each with its type and name as 0xFFFF and a number."""
    found = {}
    at = 0
    while at < len(data):
        size, header_size = struct.unpack_from("<II", data, at)
        type_marker, type_id, name_marker, name_id = struct.unpack_from("<HHHH", data, at + 8)
        assert (type_marker, name_marker) == (0xFFFF, 0xFFFF), "resources here are numbered, not named"
        language = struct.unpack_from("<H", data, at + 8 + 8 + 4 + 2)[0]
        if size:  # the first header is an empty one that marks the file as 32-bit
            found[(type_id, name_id)] = (language, data[at + header_size:at + header_size + size])
        at = (at + header_size + size + 3) & ~3
    return found


def test_resource_script_builds_under_an_rc_compatible_compiler(pe, tmp_path):
    """llvm-rc takes the script as Microsoft's rc.exe does, and gives the resources the shipped
    executable carries (which windres compiled)."""
    res = tmp_path / "enable-tcp-timestamps.res"
    # "--": llvm-rc would take an absolute path such as /check/... for its /C option.
    done = subprocess.run(["llvm-rc", "/I", BUILD / "windows", "/FO", res, "--",
                           ROOT / "res" / "enable-tcp-timestamps.rc"], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    compiled = res_file_resources(res.read_bytes())
    assert sorted(compiled) == [(RT_VERSION, 1), (RT_MANIFEST, 1)]
    assert compiled[(RT_MANIFEST, 1)] == (1033, (ROOT / "res" / "enable-tcp-timestamps.manifest").read_bytes())
    shipped = {(kind, rid): (language, data) for kind in (RT_MANIFEST, RT_VERSION)
               for rid, language, data in resources(pe, kind)}
    assert compiled == shipped


def broken_manifest(tmp_path):
    """The executable with its manifest's closing tag misspelt, bytes otherwise the same."""
    data = bytearray(EXE.read_bytes())
    at = data.index(b"</assembly>")
    data[at:at + 11] = b"</assembXy>"
    (tmp_path / "broken").mkdir()
    broken = tmp_path / "broken" / EXE.name  # under its own name: the tests know its processes by it
    broken.write_bytes(data)
    return broken


@pytest.mark.parametrize("build, reported", [("shipped", False), ("broken manifest", True)])
def test_wine_reads_the_manifest(wine, tmp_path, build, reported):
    """Every Wine case of the behaviour table requires no manifest error in Wine's report; this shows
    that the report would show one."""
    exe = EXE if build == "shipped" else broken_manifest(tmp_path)
    machine = wine.with_exe(exe).new_machine(tmp_path)
    result = machine.run()
    assert bool(result.manifest_errors()) == reported, result.manifest_errors()
    # Let the elevated starts end before the next test resets the prefix.
    wait_for(lambda: len([r for r in result.powershells() if machine.is_launched(r)]) == 2, "2 elevated starts")
