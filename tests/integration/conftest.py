"""Integration fixtures: an nginx of the test's own with the module loaded and
its data file, and an upstream that echoes what it received.  What tests
share besides fixtures is in tests/support/ (vantorell_harness,
vantorell_nginx, vantorell_observe).

Every test's nginx reads a data file of its own, in its prefix, so tests run
in parallel (pytest -n).  Tests of the default path itself are marked
default_data_file: they use /tmp/vantorell-data.json and take turns with
everything else on the host that writes it."""

import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
from vantorell_harness import DataFileLock  # noqa: E402
from vantorell_nginx import (DataFile, EchoHandler, KeptDefaultDataFile, Nginx,  # noqa: E402
                             serving)


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "default_data_file: the test's nginx reads the default data file, "
        "/tmp/vantorell-data.json, under the lock that every writer of it takes")


@pytest.fixture(scope="session")
def upstream():
    with serving(EchoHandler) as port:
        yield port


@pytest.fixture
def nginx(request, tmp_path, upstream):
    """An nginx of the test's own: its prefix is tmp_path, its data file
    nginx.data.  Under the default_data_file mark that file is the default
    one, which the configuration does not name."""
    os.chmod(tmp_path, 0o755)
    if request.node.get_closest_marker("default_data_file") is None:
        instance = Nginx(tmp_path, upstream, DataFile(tmp_path / "data.json"))
        yield instance
        instance.stop()
        instance.assert_healthy()
        return
    with DataFileLock():
        data = KeptDefaultDataFile()
        instance = Nginx(tmp_path, upstream, data, names_data_file=False)
        try:
            yield instance
            instance.stop()
            instance.assert_healthy()
        finally:
            instance.stop()
            data.restore()
