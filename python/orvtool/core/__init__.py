"""The gateway to the private module built from the C++ core: the load
report and frames as plain values (`native`), the animation and palette
encoders (`orvfile`), files placed by the core's save rule (`writing`), and
the versions of the two modules (`version`).

Imports: `model`, `report`.
"""
