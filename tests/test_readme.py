"""The README's examples run as written, on every supported interpreter."""
import doctest
import os
import re

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")


def test_readme_examples():
    with open(README, encoding="utf-8") as f:
        examples = re.findall(r"```python\n(.*?)```", f.read(), re.S)
    # One session, as a reader types them in order.
    test = doctest.DocTestParser().get_doctest("".join(examples), {}, "README.md", README, 0)
    report = []
    result = doctest.DocTestRunner().run(test, out=report.append)
    assert result.attempted and result.failed == 0, "".join(report)
