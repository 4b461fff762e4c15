"""Every code block of the guides under docs/ runs on its own, as a reader would paste it:
```python blocks in a fresh interpreter, ```sh blocks in bash (see doc_blocks). A block in any
other language (or none) would go unchecked, so none may exist; MyST directives such as
```{literalinclude} are not code of the page (the examples they include have tests of their
own)."""
import glob
import os
import re

import pytest

from doc_blocks import ROOT, code_blocks, run_python_block, run_shell_block

PAGES = sorted(glob.glob(os.path.join(ROOT, "docs", "**", "*.md"), recursive=True))
BLOCKS = [(os.path.relpath(page, ROOT), language, line, code)
          for page in PAGES for language in ("python", "sh")
          for line, code in code_blocks(page, language)]


def test_every_code_block_is_python_or_sh():
    for page in PAGES:
        with open(page, encoding="utf-8") as markdown:
            fences = re.findall(r"^```(\S*)", markdown.read(), re.M)
        assert len(fences) % 2 == 0, "%s: a fence is never closed" % page
        openings = fences[::2]
        unchecked = [f for f in openings if f not in ("python", "sh") and not f.startswith("{")]
        assert not unchecked, "%s: blocks no test runs: %s" % (page, unchecked)


@pytest.mark.parametrize("page,language,line,code", BLOCKS,
                         ids=["%s line %d" % (page, line) for page, _, line, _ in BLOCKS])
def test_guide_block_runs_on_its_own(page, language, line, code, tmp_path):
    where = "%s line %d" % (page, line)
    if language == "python":
        run_python_block(where, code, tmp_path)
    else:
        run_shell_block(where, code, tmp_path)
