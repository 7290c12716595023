"""A byte-level BPE tokenizer."""
