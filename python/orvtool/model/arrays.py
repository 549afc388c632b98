"""The arrays orvtool passes between its stages, by what they hold."""

from typing import Tuple

import numpy as np
from numpy.typing import NDArray

Rgba = NDArray[np.uint8]  # (height, width, 4): red, green, blue, alpha
Indices = NDArray[np.uint8]  # (height, width): palette indices
Mask = NDArray[np.bool_]  # (height, width): covered pixels
Layer = Tuple[Indices, Mask]  # an index layer: the indices and what they cover
