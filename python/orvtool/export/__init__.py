"""Export: an animation loaded and planned, its targets checked, then its
frames, sidecar, sheet and previews written (`exporting`).

Imports: `model`, `report`, `core`, `formats`, `load`.
"""
