"""Shared fixtures: where the real sample data and the ecCodes definitions live.

Tests that need them skip cleanly when they are absent.
"""

from pathlib import Path

import pytest

PROJECT_ROOT = Path(__file__).resolve().parent.parent
SHARED_DATA = PROJECT_ROOT.parent / "shared" / "data"
BUFR_DIR = SHARED_DATA / "bufr"
WMO_CSV_DIR = SHARED_DATA / "wmo-bufr4"
ECCODES_ROOT = Path("/usr/share/eccodes/definitions")
ECCODES_WMO = ECCODES_ROOT / "bufr" / "tables" / "0" / "wmo"


def latest_wmo_version() -> Path:
    """The highest numbered WMO table directory of the ecCodes definitions."""
    versions = [p for p in ECCODES_WMO.iterdir() if p.name.isdigit() and p.is_dir()]
    return max(versions, key=lambda p: int(p.name))


@pytest.fixture(scope="session")
def bufr_dir() -> Path:
    if not BUFR_DIR.is_dir():
        pytest.skip("../shared/data/bufr is not available")
    return BUFR_DIR


@pytest.fixture(scope="session")
def wmo_csv_dir() -> Path:
    if not WMO_CSV_DIR.is_dir():
        pytest.skip("../shared/data/wmo-bufr4 is not available")
    return WMO_CSV_DIR


@pytest.fixture(scope="session")
def eccodes_root() -> Path:
    if not ECCODES_WMO.is_dir():
        pytest.skip("ecCodes definitions (libeccodes-data) are not installed")
    return ECCODES_ROOT


@pytest.fixture(scope="session")
def latest_wmo_dir(eccodes_root) -> Path:
    return latest_wmo_version()
