"""What an install carries besides the module: licence metadata, notices, type stubs."""
from importlib.metadata import distribution
from pathlib import Path

import pytest

import mirel_core

DIST = distribution("mirel_core")
MODULE_DIR = Path(mirel_core.__file__).parent


def test_licence_metadata_is_pep_639():
    meta = DIST.metadata
    assert meta["License-Expression"] == "Apache-2.0"
    assert sorted(meta.get_all("License-File")) == ["LICENSE", "NOTICE", "licenses/scipy-openblas32.txt"]
    assert not [c for c in meta.get_all("Classifier") if c.startswith("License ::")]


@pytest.mark.parametrize(
    "name,expected",
    [
        ("LICENSE", "Apache License\n                           Version 2.0, January 2004"),
        ("NOTICE", "libmirel_openblas"),
        ("licenses/scipy-openblas32.txt", "Name: OpenBLAS"),
        ("licenses/scipy-openblas32.txt", "GCC RUNTIME LIBRARY EXCEPTION"),
    ],
)
def test_notices_are_installed(name, expected):
    installed = [f for f in DIST.files if f.as_posix().endswith(f".dist-info/licenses/{name}")]
    assert len(installed) == 1, name
    assert expected in installed[0].read_text()


def test_stubs_are_installed_beside_the_module_and_as_a_stub_package():
    beside = MODULE_DIR / "mirel_core.pyi"
    package = MODULE_DIR / "mirel_core-stubs" / "__init__.pyi"
    assert beside.read_text() == package.read_text()
    assert "class Tensor" in beside.read_text()
