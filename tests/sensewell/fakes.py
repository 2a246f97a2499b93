"""Stand-ins for jedi's result objects, and the refused cursor positions, that the request
method tests share."""

# (line, column, error): cursor positions every jedi request refuses, with the error entry.
REFUSED_POSITIONS = [
    (0, 0, "line must be a positive integer (1-based)"),
    (0, -1, "line must be a positive integer (1-based)"),
    (1, -1, "column must be a non-negative integer (0-based)"),
]


class Fake:
    """An object with just the given attributes, as jedi's names, signatures and params."""

    def __init__(self, **attrs):
        self.__dict__.update(attrs)


def raises(exc):
    """A callable that raises exc whatever it is called with."""
    def fail(*args, **kwargs):
        raise exc

    return fail
