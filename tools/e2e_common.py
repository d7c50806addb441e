"""What the end-to-end suites share: the bytes of a test job and a bounded wait."""

import time

DEADLINE = 120


def job_bytes(size):
    """Every byte value, in an order that changes from block to block."""
    return bytes((i * 7 + i // 4096) & 0xFF for i in range(size))


def wait_for(condition, what, seconds=DEADLINE, watch=None):
    """Waits for condition; a job the watched CUPS queue gave up on ends the wait at once."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        result = condition()
        if result:
            return result
        reason = watch.failure() if watch else None
        if reason:
            raise AssertionError(f"waiting for {what}: {reason}")
        time.sleep(0.1)
    raise AssertionError(f"timed out waiting for {what}")
