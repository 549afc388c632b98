"""One module per command. Each declares `add_arguments(parser)` and
`run(args) -> int`; the command line imports a command's module only when
that command runs.

Imports: anything of orvtool below the top (`cli` imports these).
"""
