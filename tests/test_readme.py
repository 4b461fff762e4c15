"""Every ```python block of the README runs on its own, as a reader would paste it (see
doc_blocks for how a block is run and when it is skipped)."""
import os

import pytest

from doc_blocks import ROOT, code_blocks, run_python_block

README = os.path.join(ROOT, "README.md")
BLOCKS = code_blocks(README, "python")


def test_readme_has_python_blocks():
    assert len(BLOCKS) >= 3


@pytest.mark.parametrize("line,code", BLOCKS, ids=["line %d" % line for line, _ in BLOCKS])
def test_readme_block_runs_on_its_own(line, code, tmp_path):
    run_python_block("README.md line %d" % line, code, tmp_path)
