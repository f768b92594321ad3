#!/usr/bin/python3
"""Makes kestrel-report.html, one file that needs nothing else: the page's template with its
script, the report's WebAssembly (as base64) and the version put in.

    build_page.py TEMPLATE SCRIPT WASM VERSION OUT
"""
import base64
import sys
from pathlib import Path


def fill(template, marker, text):
    if template.count(marker) != 1:
        sys.exit("build_page.py: %s must appear once in the template" % marker)
    return template.replace(marker, text)


def main():
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    template, script, wasm, out = (Path(arg) for arg in sys.argv[1:4] + sys.argv[5:])
    version = sys.argv[4]
    if not all(char.isalnum() or char in ".+~-" for char in version):
        sys.exit("build_page.py: not a version: %r" % version)
    script_text = script.read_text(encoding="utf-8")
    if "</script" in script_text.lower():
        sys.exit("build_page.py: the script must not hold </script")
    page = fill(template.read_text(encoding="utf-8"), "@WASM@",
                base64.b64encode(wasm.read_bytes()).decode("ascii"))
    page = fill(page, "@SCRIPT@", script_text.rstrip("\n"))
    page = fill(page, "@VERSION@", version)
    out.write_text(page, encoding="utf-8")


if __name__ == "__main__":
    main()
