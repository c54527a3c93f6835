"""Command-line companion of the camsnap extension (the `camsnap` command)."""
__version__ = "0.1.0"
