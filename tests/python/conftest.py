"""What every test module shares: the marker for tests that cannot run under
the address sanitizer."""

import os

import pytest

# The sanitizer stage preloads the sanitizer's runtime into the interpreter.
UNDER_ADDRESS_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")


def pytest_collection_modifyitems(items):
    for item in items:
        marker = item.get_closest_marker("not_under_address_sanitizer")
        if marker is not None and UNDER_ADDRESS_SANITIZER:
            item.add_marker(pytest.mark.skip(reason=marker.kwargs["reason"]))
