"""Every Python code block of docs/*.md runs, in order, from the project root.

The blocks of one document share one namespace (they tell one story) and
check their own results with asserts. They read the shipped samples and
../shared/data, so the test skips without ../shared; examples of DataFrames
skip without pandas (and pyarrow for Parquet).
"""

from __future__ import annotations

import os
import re
from pathlib import Path

import pytest

from conftest import PROJECT_ROOT, SHARED_DATA

DOCS = PROJECT_ROOT / "docs"
BLOCK = re.compile(r"^```python[ \t]*\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)


def python_blocks(text: str) -> list[tuple[int, str]]:
    """(line number of the block's first code line, code) of every ```python block."""
    return [(text.count("\n", 0, match.start(1)) + 1, match.group(1)) for match in BLOCK.finditer(text)]


def documents() -> list[Path]:
    return sorted(DOCS.glob("*.md"))


def test_blocks_are_found_with_their_lines():
    text = "# T\n\n```python\na = 1\n```\n\n```sh\nls\n```\n\n```python\nb = a + 1\nassert b == 2\n```\n"
    assert python_blocks(text) == [(4, "a = 1\n"), (12, "b = a + 1\nassert b == 2\n")]


@pytest.mark.parametrize("doc", documents(), ids=lambda path: path.name)
def test_every_document_has_python_examples(doc):
    assert python_blocks(doc.read_text(encoding="utf-8")), f"{doc.name} has no ```python block"


@pytest.mark.parametrize("doc", documents(), ids=lambda path: path.name)
def test_document_examples_run(doc, monkeypatch, capsys):
    if not SHARED_DATA.is_dir():
        pytest.skip("../shared/data is not available")
    text = doc.read_text(encoding="utf-8")
    blocks = python_blocks(text)
    code = "".join(block for _, block in blocks)
    if re.search(r"read_bufr|to_pandas", code):
        pytest.importorskip("pandas")
    if re.search(r"parquet|pyarrow", code):
        pytest.importorskip("pyarrow")
    if "distributed" in code:
        pytest.importorskip("distributed")
        if os.environ.get("VANTREL_SANITIZED"):
            pytest.skip("worker processes under the preloaded sanitizer runtime")
    monkeypatch.chdir(PROJECT_ROOT)
    namespace: dict = {"__name__": f"docs.{doc.stem}"}
    for line, block in blocks:
        # Leading newlines make tracebacks point at the document's own lines.
        exec(compile("\n" * (line - 1) + block, str(doc), "exec"), namespace)
    assert capsys.readouterr().out, "the examples print what they show"


def test_the_package_documents_what_it_exports():
    # _vantrel's classes keep their bare docstrings; the package module documents them.
    import _vantrel
    import vantrel

    undocumented = [name for name in vantrel.__all__ if not (getattr(vantrel, name).__doc__ or "").strip()
                    and not isinstance(getattr(_vantrel, name, None), type)]
    assert undocumented == []
    assert all(f"``{name}``" in vantrel.__doc__ for name in ("DecodedValue", "BufrMessage"))
