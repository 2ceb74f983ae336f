"""Packaging: the version has one source, and an installed distribution carries it and the package alone."""
import re
import tomllib
from importlib import metadata
from pathlib import Path

import pytest

import quibex

ROOT = Path(__file__).resolve().parents[2]


def test_version_is_read_from_the_module_source():
    config = tomllib.loads((ROOT / "pyproject.toml").read_text())
    assert "version" in config["project"]["dynamic"] and "version" not in config["project"]
    rule = config["tool"]["scikit-build"]["metadata"]["version"]
    assert re.findall(rule["regex"], (ROOT / rule["input"]).read_text()) == [quibex.__version__]


def test_installed_distribution_is_complete():
    try:
        dist = metadata.distribution("quibex")
    except metadata.PackageNotFoundError:
        pytest.skip("quibex is not installed: the tests run against a build tree")
    installed = {Path(dist.locate_file(f)).resolve() for f in dist.files or ()}
    if Path(quibex.__file__).resolve() not in installed:
        pytest.skip("the installed distribution is not the module under test")
    # The package and its metadata only: no tests, no build tree, no
    # libraries grafted in beside the extension.
    module = Path(quibex.__file__).resolve()
    package = module.parent
    files = {f for f in installed if package.parent / f"quibex-{dist.version}.dist-info" not in f.parents}
    assert {f for f in files if f.parent.name != "__pycache__"} == {
        module, *(package / name for name in ("__main__.py", "__init__.pyi", "py.typed"))}
    assert dist.version == quibex.__version__
    assert dist.metadata["Requires-Python"] == ">=3.11"
    assert {"numpy", "test", "bench"} <= set(dist.metadata.get_all("Provides-Extra"))
