"""In-tree PEP 517 build backend: standard library only.

`pip install .` calls `build_wheel`, which runs the CMake build of every
extension module into a private staging folder and packs that folder, the
package's Python sources, type stubs and py.typed included, into a wheel for
the running interpreter. `build_sdist` packs the sources needed to do that
again elsewhere.

The wheel's metadata comes from pyproject.toml's [project] table: the
requirements (PyMySQL, and aiomysql for the `asyncio` extra) and the README
as the long description. Without a package index pip must find the drivers
already installed where the environment looks (the README says how to show
it Debian's).
"""

from __future__ import annotations

import base64
import hashlib
import io
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import tomllib
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
NAME = PROJECT["name"]
VERSION = PROJECT["version"]
# What an sdist carries: enough to run build_wheel from it.
SDIST_FILES = ("pyproject.toml", "CMakeLists.txt", "README.md")
SDIST_DIRS = ("include", "src", "python", "tools", "docs", "examples")


def _tag() -> str:
    interpreter = f"cp{sys.version_info.major}{sys.version_info.minor}"
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"{interpreter}-{interpreter}-{platform}"


def _dist_info() -> str:
    return f"{NAME}-{VERSION}.dist-info"


def _requirements() -> list[str]:
    lines = [f"Requires-Dist: {requirement}" for requirement in PROJECT.get("dependencies", [])]
    for extra, requirements in PROJECT.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {requirement}; extra == "{extra}"' for requirement in requirements]
    return lines


def _metadata() -> str:
    """Core metadata 2.1: the headers, then the README as the body."""
    headers = [
        "Metadata-Version: 2.1",
        f"Name: {NAME}",
        f"Version: {VERSION}",
        f"Summary: {PROJECT['description']}",
        f"Requires-Python: {PROJECT['requires-python']}",
        *_requirements(),
        "Description-Content-Type: text/markdown",
    ]
    readme = (ROOT / PROJECT["readme"]).read_text(encoding="utf-8")
    return "\n".join(headers) + "\n\n" + readme


def _wheel_file() -> str:
    return (
        "Wheel-Version: 1.0\n"
        "Generator: tessary_build\n"
        "Root-Is-Purelib: false\n"
        f"Tag: {_tag()}\n"
    )


def _build_into(stage: pathlib.Path, build_dir: pathlib.Path) -> None:
    cmake = shutil.which("cmake")
    if cmake is None:
        raise RuntimeError("cmake is required to build Tessary (apt-get install cmake g++ pkg-config libsqlite3-dev libmariadb-dev)")
    subprocess.run(
        [cmake, "-S", str(ROOT), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
         f"-DPython3_EXECUTABLE={sys.executable}", f"-DTESSARY_STAGE={stage}"],
        check=True,
    )
    subprocess.run([cmake, "--build", str(build_dir), "-j", str(os.cpu_count() or 1)], check=True)


def _record_line(arcname: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{arcname},sha256={digest},{len(data)}"


def _pack(stage: pathlib.Path, wheel_path: pathlib.Path) -> None:
    records = []
    with zipfile.ZipFile(wheel_path, "w", zipfile.ZIP_DEFLATED) as wheel:
        for path in sorted((stage / NAME).rglob("*")):
            if path.is_dir() or "__pycache__" in path.parts:
                continue
            arcname = path.relative_to(stage).as_posix()
            data = path.read_bytes()
            wheel.writestr(arcname, data)
            records.append(_record_line(arcname, data))
        info = _dist_info()
        for name, text in (("METADATA", _metadata()), ("WHEEL", _wheel_file())):
            arcname = f"{info}/{name}"
            wheel.writestr(arcname, text)
            records.append(_record_line(arcname, text.encode()))
        records.append(f"{info}/RECORD,,")
        wheel.writestr(f"{info}/RECORD", "\n".join(records) + "\n")


def get_requires_for_build_wheel(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    info = pathlib.Path(metadata_directory) / _dist_info()
    info.mkdir(parents=True, exist_ok=True)
    (info / "METADATA").write_text(_metadata(), encoding="utf-8")
    (info / "WHEEL").write_text(_wheel_file())
    return info.name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    wheel_name = f"{NAME}-{VERSION}-{_tag()}.whl"
    with tempfile.TemporaryDirectory(prefix="tessary-wheel-") as tmp:
        tmp_path = pathlib.Path(tmp)
        stage = tmp_path / "pkg"
        _build_into(stage, tmp_path / "build")
        _pack(stage, pathlib.Path(wheel_directory) / wheel_name)
    return wheel_name


def get_requires_for_build_sdist(config_settings=None):
    return []


def _sdist_members():
    for name in SDIST_FILES:
        yield ROOT / name
    for folder in SDIST_DIRS:
        for path in sorted((ROOT / folder).rglob("*")):
            if path.is_file() and "__pycache__" not in path.parts and path.suffix not in (".so", ".pyc"):
                yield path


def build_sdist(sdist_directory, config_settings=None):
    base = f"{NAME.lower()}-{VERSION}"
    sdist_name = f"{base}.tar.gz"
    with tarfile.open(pathlib.Path(sdist_directory) / sdist_name, "w:gz", format=tarfile.PAX_FORMAT) as sdist:
        for path in _sdist_members():
            sdist.add(path, arcname=f"{base}/{path.relative_to(ROOT).as_posix()}", recursive=False)
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = _metadata().encode()
        info.size = len(data)
        sdist.addfile(info, io.BytesIO(data))
    return sdist_name
