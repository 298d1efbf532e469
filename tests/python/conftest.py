"""What every test module shares: the markers for tests that cannot run under
the address sanitizer and for tests that run only in the full stage."""

import os
import sys

import pytest
from hypothesis import settings

# Every property must hold for every example it can draw, and the test command
# must give the same verdict on every run: it draws the same examples each
# time, with or without CI set, and keeps no database of failures between
# runs. ZARNIK_HYPOTHESIS=explore draws new random examples on each run (with
# ZARNIK_HYPOTHESIS_SCALE=N, N times each test's number of examples), to look
# for examples the fixed ones miss; a failure found that way prints its
# reproduction and becomes a fixed case of the property's test.
settings.register_profile("fixed", derandomize=True, database=None, print_blob=True)
settings.register_profile("explore", derandomize=False, database=None, print_blob=True)
PROFILE = os.environ.get("ZARNIK_HYPOTHESIS", "fixed")
if PROFILE not in ("fixed", "explore"):
    raise pytest.UsageError(f"ZARNIK_HYPOTHESIS must be fixed or explore, not {PROFILE!r}")
settings.load_profile(PROFILE)
EXAMPLES_SCALE = int(os.environ.get("ZARNIK_HYPOTHESIS_SCALE", "1"))

# The sanitizer stage preloads the sanitizer's runtime into the interpreter.
UNDER_ADDRESS_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")

# Loading IPOPT starts MPI, whose memory hooks patch functions the sanitizer
# intercepts: a process under the sanitizer dies loading it. There cyipopt is
# as if not installed, and the tests that need it skip; trust-constr still runs.
if UNDER_ADDRESS_SANITIZER:
    sys.modules["cyipopt"] = None

# tools/dev's quick loop sets this: the slow checks of packaging, typing and
# the benchmarks wait for the full stage (tools/dev test).
QUICK_STAGE = os.environ.get("ZARNIK_TEST_STAGE") == "quick"
# The sanitizer stage leaves them out too: their verdicts do not depend on
# the sanitizer, and the release stage has given them.
SANITIZER_STAGE = os.environ.get("ZARNIK_TEST_STAGE") == "sanitizer"


def pytest_collection_modifyitems(items):
    for item in items:
        chosen = getattr(item.obj, "_hypothesis_internal_use_settings", None)
        if chosen is not None and EXAMPLES_SCALE != 1:
            item.obj._hypothesis_internal_use_settings = settings(
                chosen, max_examples=chosen.max_examples * EXAMPLES_SCALE
            )
        marker = item.get_closest_marker("not_under_address_sanitizer")
        if marker is not None and UNDER_ADDRESS_SANITIZER:
            item.add_marker(pytest.mark.skip(reason=marker.kwargs["reason"]))
        if item.get_closest_marker("full_stage") is not None and SANITIZER_STAGE:
            item.add_marker(pytest.mark.skip(reason="ran in the release stage: a sanitizer cannot change its verdict"))
        elif item.get_closest_marker("full_stage") is not None and QUICK_STAGE:
            item.add_marker(pytest.mark.skip(reason="runs in the full stage (tools/dev test), not in the quick loop"))
