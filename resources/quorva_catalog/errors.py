"""Failures that end the server before it serves anything."""


class StartupError(Exception):
    """One line for the user, Thai then English."""

    def __init__(self, thai, english):
        super().__init__(f"{thai} / {english}")
        self.thai = thai
