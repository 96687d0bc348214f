"""Schema validation for Python payloads and JSON text."""

from . import _vorn
from ._vorn import Issue, Issues, Limits, ParseError, Schema, Validator, __version__

__all__ = [
    "Schema",
    "Validator",
    "Issue",
    "Limits",
    "Issues",
    "ParseError",
    "ValidationError",
    "__version__",
]


class ValidationError(Exception):
    """A payload does not conform; ``args[0]`` is the ``Issues`` object with every problem.

    The class overrides no ``__init__``: the extension raises it with the ``Issues`` object as
    its only argument, and nothing is rendered until it is read.
    """

    @property
    def issues(self) -> Issues:
        """Every problem found, in depth-first order of the payload."""
        return self.args[0]

    def __str__(self) -> str:
        issues = self.args[0] if self.args else None
        if isinstance(issues, Issues):
            return issues.summary()
        return super().__str__()
