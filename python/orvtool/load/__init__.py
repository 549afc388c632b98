"""Loading an animation as orvtool does: the palette found or converted, the
file refused or described, findings in orvtool's words (`loading`); the public
load report and `inspect` (`public`) and `info`'s description of a file (`summary`).

Imports: `model`, `report`, `core`, `formats`.
"""
