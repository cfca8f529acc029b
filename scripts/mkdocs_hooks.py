"""MkDocs hook: presents the compiled module's stub, src/vorlane.pyi, as a stubs-only package,
the form in which the API reference's loader finds a module that has no Python source."""

from __future__ import annotations

import shutil
from pathlib import Path

from mkdocs.plugins import event_priority

ROOT = Path(__file__).resolve().parents[1]
STUBS = ROOT / "build" / "docs-stubs"


# Before the API reference's plugin reads its search paths, which leaves out missing folders.
@event_priority(100)
def on_config(config):
    package = STUBS / "vorlane-stubs"
    package.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(ROOT / "src" / "vorlane.pyi", package / "__init__.pyi")
    return config
