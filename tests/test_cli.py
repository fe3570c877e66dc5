"""The command line summarises messages and reports bad files with a non-zero status."""

import subprocess
import sys

from bufr_builder import build_message

from vantrel.__main__ import main


def test_summary_and_descriptors(tmp_path, capsys):
    path = tmp_path / "two.bufr"
    path.write_bytes(build_message([307080, 1001], subsets=3) + b"junk" + build_message([], compressed=True))
    assert main([str(path)]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[0] == f"{path}: 2 messages"
    assert "centre 98/0" in out[1] and "3 subsets uncompressed" in out[1] and "2024-05-17 12:30:15" in out[1]
    assert out[2] == "    descriptors: 307080 001001"
    assert "compressed" in out[3] and out[4] == "    descriptors: "


def test_bad_files_give_one_line_and_status_1(tmp_path, capsys):
    good = tmp_path / "good.bufr"
    good.write_bytes(build_message([1001]))
    bad = tmp_path / "bad.bufr"
    bad.write_bytes(build_message([1001], edition=3))
    status = main([str(bad), str(tmp_path / "missing.bufr"), str(good)])
    captured = capsys.readouterr()
    assert status == 1
    assert captured.err.splitlines() == [
        f"vantrel: {bad}: unsupported BUFR edition 3; only edition 4 is implemented",
        f"vantrel: {tmp_path / 'missing.bufr'}: No such file or directory (os error 2)",
    ]
    assert f"{good}: 1 message" in captured.out


def test_module_entry_point(tmp_path):
    path = tmp_path / "one.bufr"
    path.write_bytes(build_message([1001]))
    result = subprocess.run([sys.executable, "-m", "vantrel", str(path)], capture_output=True, text=True)
    assert result.returncode == 0 and "descriptors: 001001" in result.stdout
