"""What every test module shares: the markers for tests that cannot run under
the address sanitizer and for tests that run only in the full stage."""

import os

import pytest

# The sanitizer stage preloads the sanitizer's runtime into the interpreter.
UNDER_ADDRESS_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")

# tools/dev's quick loop sets this: the slow checks of packaging, typing and
# the benchmarks wait for the full stage (tools/dev test).
QUICK_STAGE = os.environ.get("ZARNIK_TEST_STAGE") == "quick"


def pytest_collection_modifyitems(items):
    for item in items:
        marker = item.get_closest_marker("not_under_address_sanitizer")
        if marker is not None and UNDER_ADDRESS_SANITIZER:
            item.add_marker(pytest.mark.skip(reason=marker.kwargs["reason"]))
        if item.get_closest_marker("full_stage") is not None and QUICK_STAGE:
            item.add_marker(pytest.mark.skip(reason="runs in the full stage (tools/dev test), not in the quick loop"))
