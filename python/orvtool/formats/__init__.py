"""File formats: the animation writer, palettes, the export's sidecar and
index layers, sprite sheets."""
