"""Every document orvtool reads or writes, one parser into the model and
one writer out of it per kind: palettes in every format, the export's sidecar
and index layers, sprite sheets and the shape of their JSON (`schema`),
images and the one way a file is read (`reading`, `images`), previews.

Imports: `model`, `report`, `core`.
"""
