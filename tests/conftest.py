import os

import pytest

# Set by tools/run_sanitized.sh: the extension is built with AddressSanitizer.
SANITIZED = os.environ.get("ZEL_SANITIZED") == "1"


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "address_space_limit: sets RLIMIT_AS in a child process, which AddressSanitizer's "
        "shadow memory cannot live under",
    )


def pytest_collection_modifyitems(config, items):
    if not SANITIZED:
        return
    skip = pytest.mark.skip(
        reason="sets an address-space limit, which AddressSanitizer's terabytes of reserved "
        "shadow memory cannot fit under"
    )
    for item in items:
        if "address_space_limit" in item.keywords:
            item.add_marker(skip)
