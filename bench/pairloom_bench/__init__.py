"""The machinery of bench/bench.py, one module per job.

- settings: the sizes, vocabularies and timeouts of a full and a quick run.
- corpora: finding and cutting the texts.
- build: building the module and the native tools from this checkout or a commit.
- peers: one adapter per system (pairloom, the plain algorithm, the native encoding
  program, HF tokenizers, tiktoken, SentencePiece).
- measure: measurements in fresh processes and the worker that runs in them.
- stages: what a run measures, in order.
- targets: the goals and their verdicts.
- report: RESULTS.md, the plots and results.json.
"""
