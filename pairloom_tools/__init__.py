"""Command line and corpus tools for pairloom tokenizers: the ``pairloom`` command, a reader of
model files (`Model`), exports to Hugging Face tokenizers and tiktoken, and corpus encoding on
local worker processes or on a Dask cluster (`pairloom_tools.dask`)."""

from __future__ import annotations

import importlib
import pkgutil
from typing import TYPE_CHECKING, Any

# The native part (`_native`) is built into the installed package. When the source tree's copy
# of this package comes first on the path (running from a checkout), it is found there.
__path__ = pkgutil.extend_path(__path__, __name__)

if TYPE_CHECKING:
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
