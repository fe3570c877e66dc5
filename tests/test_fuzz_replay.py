"""The fuzz replay programs (CMake option VANTREL_FUZZ_REPLAY) run every input
they are given, from files and directories, and fail on an unreadable path.
Skipped when the build beside the module was made without them, but for the
bit reader's guard-page test, which builds its program from the sources then."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

import _vantrel
from bufr_builder import BitWriter, build_message

FUZZ_DIR = Path(_vantrel.__file__).resolve().parent / "fuzz"
TARGETS = ["replay_message", "replay_scan", "replay_decode", "replay_columns", "replay_bits", "replay_tables_eccodes", "replay_tables_csv"]


def program(name):
    path = FUZZ_DIR / name
    if not path.is_file():
        pytest.skip(f"{name} is not built (configure with -DVANTREL_FUZZ_REPLAY=ON)")
    return path


@pytest.mark.parametrize("name", TARGETS)
def test_replays_files_and_directories(tmp_path, name):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    message = build_message([1001], BitWriter().write(7, 8))
    inputs = [b"", b"\x00", message, message[:-1], b"\x01" + b'"300002" = [ 000002 ]\n']
    for i, data in enumerate(inputs):
        (corpus / f"input-{i}").write_bytes(data)
    (corpus / "subdir").mkdir()  # directories inside a corpus are not inputs
    single = tmp_path / "single"
    single.write_bytes(message)
    result = subprocess.run([program(name), corpus, single], capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stdout) == (0, f"replayed {len(inputs) + 1} inputs\n"), result.stderr


def test_unreadable_path_fails(tmp_path):
    result = subprocess.run([program("replay_message"), tmp_path / "absent"], capture_output=True, text=True)
    assert result.returncode == 1
    assert result.stdout == "replayed 0 inputs\n"
    assert result.stderr == f"{tmp_path / 'absent'}: io error: No such file or directory (os error 2)\n"


@pytest.fixture(scope="module")
def bits_program(tmp_path_factory):
    """replay_bits of the build, or else one compiled here from the sources (about 5 s), so
    that the default test setup reads against the guard page too."""
    built = FUZZ_DIR / "replay_bits"
    if built.is_file():
        return built
    root = Path(__file__).resolve().parent.parent
    compiler = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")
    if compiler is None or not (root / "fuzz" / "fuzz_bits.cpp").is_file():
        pytest.skip("replay_bits is not built and there is no C++ compiler and source to build it")
    out = tmp_path_factory.mktemp("replay") / "replay_bits"
    sources = ["fuzz/fuzz_bits.cpp", "fuzz/replay_main.cpp", "src/io/file.cpp", "src/tables/files.cpp",
               "src/bitstream/bit_reader.cpp", *sorted(str(p.relative_to(root)) for p in (root / "src/error").glob("*.cpp"))]
    result = subprocess.run([compiler, "-std=c++23", "-O1", "-I", "src", "-o", str(out), *sources], cwd=root,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return out


def test_bit_reads_that_end_on_the_last_byte_stay_inside_the_data(tmp_path, bits_program):
    # Input layout of the bits target: a count, that many widths, then the
    # data, which ends at the guard page. Each input reads `offset` bits and
    # then `width` bits ending exactly on the data's last bit, from every bit
    # offset (widths 57 to 63 after an offset take their last bits from a
    # ninth byte), and once more with the last byte of the data cut.
    corpus = tmp_path / "bits"
    corpus.mkdir()
    count = 0
    for offset in range(8):
        for width in range(1, 65):
            if (offset + width) % 8:
                continue
            data = bytes((0xA5 + i * 29) & 0xFF for i in range((offset + width) // 8))
            for cut in (0, 1):
                (corpus / f"{offset}-{width}-{cut}").write_bytes(bytes([2, offset, width]) + data[:len(data) - cut])
                count += 1
    result = subprocess.run([bits_program, corpus], capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stdout) == (0, f"replayed {count} inputs\n"), result.stderr
