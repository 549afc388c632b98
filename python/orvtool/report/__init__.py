"""Saying what happened: the one table of severities, labels and exit
statuses (`status`), the lines it prints, and results as JSON (`results`:
`info --json`, `--report`). Text is made here, once, at the edge.

Imports: `model` only.
"""
