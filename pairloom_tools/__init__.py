"""Command line and corpus tools for pairloom tokenizers: the ``pairloom`` command, a reader of
model files (`Model`), exports to Hugging Face tokenizers and tiktoken, and corpus encoding on
local worker processes or on a Dask cluster (`pairloom_tools.dask`)."""

from .export import ExportError, tiktoken_encoding
from .files import ToolError
from .model import Model, ModelError

__all__ = ["ExportError", "Model", "ModelError", "ToolError", "tiktoken_encoding"]
