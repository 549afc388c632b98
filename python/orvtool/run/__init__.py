"""Running commands: batches over trees with worker processes that end
with their parent (`batch`), SIGTERM taken as Ctrl-C and a command's errors
made statuses (`interrupts`), and watching sources to build again
(`watching`).

Imports: everything below the commands (`model`, `report`, `core`,
`formats`, `load`, `build`, `export`), never `commands` or `view`.
"""
