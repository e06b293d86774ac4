class OrvaneError(Exception):
    """The kit's own consistency failure, built with one message text."""
