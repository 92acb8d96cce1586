import pytest

import Lorvane


def _internal_error_type():
    # The class is not exported by the module; the first capture failure shows it.
    try:
        Lorvane.Indexable(probe=2**64)
    except BaseException as exc:  # noqa: BLE001 - that is the point
        return type(exc)
    raise AssertionError("an int outside 64 bits was captured")


PanicException = _internal_error_type()


def raises_internal_error(match=None):
    """pytest.raises for the module's internal-error exception."""
    return pytest.raises(PanicException, match=match)
