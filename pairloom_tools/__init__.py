"""Command line and corpus tools for pairloom tokenizers."""
