import os

import pytest

# Set by tools/run_sanitized.sh: the extension is built with AddressSanitizer.
SANITIZED = os.environ.get("ZEL_SANITIZED") == "1"


# Markers of tests that the sanitized run skips, and why.
SKIPPED_WHEN_SANITIZED = {
    "address_space_limit": "sets an address-space limit, which AddressSanitizer's terabytes of reserved "
    "shadow memory cannot fit under",
    "source_only": "checks the sources with a static checker, which runs none of the native code the "
    "sanitizer watches",
    "forks_with_threads": "forks while other threads allocate: AddressSanitizer's allocator keeps its locks "
    "across a fork, so the child can wait forever on one a parent's thread held (glibc's malloc does not)",
}


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "address_space_limit: sets RLIMIT_AS in a child process, which AddressSanitizer's "
        "shadow memory cannot live under",
    )
    config.addinivalue_line(
        "markers", "source_only: checks source files only and loads no native code worth sanitizing"
    )
    config.addinivalue_line(
        "markers", "forks_with_threads: forks the process while other threads run native code"
    )


def pytest_collection_modifyitems(config, items):
    if not SANITIZED:
        return
    for item in items:
        for marker, reason in SKIPPED_WHEN_SANITIZED.items():
            if marker in item.keywords:
                item.add_marker(pytest.mark.skip(reason=reason))
