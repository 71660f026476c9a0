"""Objects whose attribute lookup fails, for tests that a C++ method passes on the getter's own
error (and never reads the next attribute while that error is pending)."""


class GetterError(LookupError):
    """Raised by a failing attribute; a distinct type, so no wrapper can be mistaken for it."""


def failing(cls, name):
    """A subclass of `cls` whose attribute `name` raises GetterError when read."""

    class Failing(cls):
        def __getattribute__(self, attribute):
            if attribute == name:
                raise GetterError(name)
            return super().__getattribute__(attribute)

    Failing.__name__ = f"{cls.__name__}Failing_{name}"
    return Failing
