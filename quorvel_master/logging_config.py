"""Stand-in for the product's logging module.

The kernel's real module configures its own handlers; the compiled modules only rely on
``get_logger`` returning a standard logger and on ``setup_logging_subprocess`` existing.
"""

import logging
import sys


def get_logger(name):
    """Return the standard library logger for ``name``."""
    return logging.getLogger(name)


def setup_logging_subprocess(level=logging.INFO):
    """Send log records of this process to stderr with a plain one-line format."""
    root = logging.getLogger()
    if not any(getattr(h, "_quorvel_stderr", False) for h in root.handlers):
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(name)s: %(message)s"))
        handler._quorvel_stderr = True
        root.addHandler(handler)
    root.setLevel(level)
    return root
