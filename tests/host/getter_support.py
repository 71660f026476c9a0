"""Objects whose attribute lookup fails, for tests that a C++ method passes on the getter's own
error and never reads the next attribute while that error is pending."""


class GetterError(LookupError):
    """Raised by a failing attribute; a distinct type, so no wrapper can be mistaken for it."""


def failing(cls, name):
    """A subclass of `cls` whose attribute `name` raises GetterError once the class's `armed` is
    set (so construction, which may read it, works). Every attribute read after the failure is
    listed in `read_after_failure`: a caller that goes on with the error pending reads the next
    one, which may or may not turn into a SystemError."""

    class Failing(cls):
        armed = True
        failed = False
        read_after_failure = []

        def __getattribute__(self, attribute):
            if attribute == name and Failing.armed:
                Failing.failed = True
                raise GetterError(name)
            if Failing.failed:
                Failing.read_after_failure.append(attribute)
            return super().__getattribute__(attribute)

    Failing.__name__ = f"{cls.__name__}Failing_{name}"
    return Failing


def failing_instance(cls, name, *args):
    """`failing(cls, name)(*args)`, armed only once constructed."""
    subclass = failing(cls, name)
    subclass.armed = False
    instance = subclass(*args)
    subclass.armed = True
    return instance
