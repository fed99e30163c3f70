"""What an install carries besides the module: licence metadata, notices, type stubs."""
from importlib.metadata import distribution
from pathlib import Path

import pytest

import mirel_core

DIST = distribution("mirel_core")
MODULE_DIR = Path(mirel_core.__file__).parent


def test_licence_metadata_is_pep_639_and_covers_what_the_wheel_carries():
    meta = DIST.metadata
    # the wheel carries only our own code
    assert meta["License-Expression"] == "Apache-2.0"
    assert sorted(meta.get_all("License-File")) == ["LICENSE", "NOTICE"]
    assert not [c for c in meta.get_all("Classifier") if c.startswith("License ::")]


def test_the_long_description_is_written_for_the_package_index():
    meta = DIST.metadata
    text = meta.get_payload() or meta["Description"]
    assert meta["Description-Content-Type"].startswith("text/markdown")
    assert "pip install mirel_core" in text and "bash scripts/" not in text


@pytest.mark.parametrize(
    "name,expected",
    [
        ("LICENSE", "Apache License\n                           Version 2.0, January 2004"),
        ("NOTICE", "no\nBLAS library is bundled"),
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


def test_no_library_but_ours_is_bundled():
    libs = sorted(p.name for p in (MODULE_DIR / "mirel_core.libs").iterdir())
    assert libs == ["libmirel.so"]
    assert not [f for f in DIST.files if "/sboms/" in f.as_posix()]  # nothing bundled to describe
