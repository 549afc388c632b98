"""Tools for Quarro animation files, built on pyorv."""
