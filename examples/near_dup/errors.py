"""The one exception the program turns into a one-line message."""


class InputError(Exception):
    """A problem with the user's input or options, shown as one line."""
