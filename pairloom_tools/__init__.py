"""Command line and corpus tools for pairloom tokenizers: the ``pairloom`` command, a reader of
model files (`Model`), exports to Hugging Face tokenizers and tiktoken, and corpus encoding on
local worker processes or on a Dask cluster (`pairloom_tools.dask`)."""

from __future__ import annotations

import importlib
import os
import sys

# The native part (`_native`) is built into the installed package. When the source tree's copy
# of this package comes first on the path (running from a checkout), it is found there.
# (What pkgutil.extend_path does, without its imports.)
__path__ += [folder for folder in (os.path.join(entry or os.curdir, __name__) for entry in sys.path)
             if folder not in __path__ and os.path.isdir(folder)]

TYPE_CHECKING = False  # typing.TYPE_CHECKING, without importing typing at run time
if TYPE_CHECKING:
    from typing import Any

    from .export import ExportError, tiktoken_encoding
    from .files import ToolError
    from .model import Model, ModelError

__all__ = ["ExportError", "Model", "ModelError", "ToolError", "tiktoken_encoding"]

# Imported on first use, so that the command starts without loading what it does not run.
_HOMES = {"ExportError": "export", "tiktoken_encoding": "export", "ToolError": "files",
          "Model": "model", "ModelError": "model"}


def __getattr__(name: str) -> Any:
    if name not in _HOMES:
        raise AttributeError(f"module 'pairloom_tools' has no attribute {name!r}")
    return getattr(importlib.import_module(f".{_HOMES[name]}", __name__), name)
