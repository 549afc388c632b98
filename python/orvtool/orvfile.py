"""The writer's records and encoders under one name, for scripts and tests
that make animation and palette files byte for byte (see `model` and
`formats.orv`)."""

from .formats.orv import (
    MAGIC,
    encode_animation,
    encode_frame,
    encode_palette,
    frame_from_indices,
    runs_from_indices,
    runs_from_mask,
)
from .model import Animation, Color, Frame, Row, Run

__all__ = [
    "MAGIC",
    "Animation",
    "Color",
    "Frame",
    "Row",
    "Run",
    "encode_animation",
    "encode_frame",
    "encode_palette",
    "frame_from_indices",
    "runs_from_indices",
    "runs_from_mask",
]
