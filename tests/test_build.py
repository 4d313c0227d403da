"""What the built deliverables export, link against and ship beside them."""

import importlib
import importlib.metadata
import json
import os
import shutil
import subprocess
from pathlib import Path

import pytest

# module -> whether it may link the C++ runtime
DELIVERABLES = {
    "quillet.utils.utils": False,
    "quillet.frozen.frozen": False,
    "quillet.text_walker": False,
    "quillet.utils.attrs": True,
}


def editable_install():
    direct_url = importlib.metadata.distribution("quillet").read_text("direct_url.json")
    return bool(direct_url) and json.loads(direct_url).get("dir_info", {}).get("editable", False)


# An editable install serves the Python files and stubs from the source tree.
needs_wheel = pytest.mark.skipif(editable_install(), reason="checks the installed wheel; this is an editable install")


def built(name):
    try:
        return importlib.import_module(name).__file__
    except ImportError:
        pytest.skip(f"{name} is not built")


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils")
@pytest.mark.parametrize("name", DELIVERABLES)
def test_each_deliverable_exports_only_its_init_function(name):
    path = built(name)
    symbols = [line.split()[-1] for line in run("nm", "-D", "--defined-only", path).splitlines() if line.strip()]
    assert symbols == ["PyInit_" + name.rsplit(".", 1)[-1]]


@pytest.mark.skipif(shutil.which("readelf") is None, reason="needs binutils")
@pytest.mark.skipif(bool(os.environ.get("QUILLET_SANITIZED")), reason="sanitizer builds link their runtimes")
@pytest.mark.parametrize("name", [name for name, cxx in DELIVERABLES.items() if not cxx])
def test_c_api_deliverables_need_nothing_but_libc(name):
    needed = [line for line in run("readelf", "-d", built(name)).splitlines() if "(NEEDED)" in line]
    assert all("libc.so" in line for line in needed), needed


@needs_wheel
def test_package_runs_from_an_install_not_the_source_tree():
    import quillet

    installed = Path(quillet.__file__).resolve().parent
    assert installed.parent.name == "site-packages"
    assert not (installed / "frozen" / "frozen.cpp").exists()
    assert (installed / "py.typed").is_file()


def test_distribution_carries_its_licence_and_version():
    import quillet

    dist = importlib.metadata.distribution("quillet")
    assert quillet.__version__ == dist.version == dist.metadata["Version"]
    assert dist.metadata["License-Expression"] == "MIT"
    licences = [file for file in dist.files if file.parts[-2:] == ("licenses", "LICENSE")]
    assert len(licences) == 1 and "the quillet authors" in licences[0].read_text()
