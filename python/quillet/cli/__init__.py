"""The ``quillet`` command (top floor): look at a cube, fit it, draw the maps."""

from .entry import EXIT_BROKEN_PIPE, EXIT_INTERRUPTED, EXIT_USAGE, build_parser, main

__all__ = ["EXIT_BROKEN_PIPE", "EXIT_INTERRUPTED", "EXIT_USAGE", "build_parser", "main"]
