"""The README's interactive examples run as written."""

import doctest
import os
import re

from support import shapes
import zarvik_lumetra_native as zln

README = os.path.join(os.path.dirname(__file__), "..", "README.md")


def test_readme_examples():
    with open(README, encoding="utf-8") as f:
        blocks = re.findall(r"```python\n(.*?)```", f.read(), flags=re.S)
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    attempted = 0
    for i, block in enumerate(blocks):
        test = parser.get_doctest(block, {"zln": zln}, f"README block {i}", README, 0)
        result = runner.run(test)
        assert result.failed == 0, block
        attempted += result.attempted
    assert attempted >= 8


def test_readme_shows_every_callable_with_its_parameters():
    with open(README, encoding="utf-8") as f:
        text = f.read()
    for name in shapes.NAMES:
        assert f"`{name}{shapes.text_signature(name)}" in text, name


def test_readme_links_are_absolute():
    # The README is also the package's page on a registry, where a link
    # relative to the repository leads nowhere.
    with open(README, encoding="utf-8") as f:
        text = f.read()
    targets = re.findall(r"\]\(\s*<?([^)\s>]+)", text)  # [text](target), ![alt](target)
    targets += re.findall(r"^\s*\[[^\]]+\]:\s*<?(\S+?)>?\s*$", text, flags=re.M)  # [label]: target
    targets += re.findall(r"""(?:href|src)\s*=\s*["']([^"']+)""", text)  # HTML
    relative = [t for t in targets if not re.match(r"(https?|mailto):", t)]
    assert relative == []
