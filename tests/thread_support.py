"""Runs a test's body on several threads at once and gathers what they raised."""

import threading

# Only a thread that hangs reaches this; a guard, not a measurement.
HANG_GUARD = 300


def run_threads(count, target):
    """Runs target(index) on `count` threads; the errors they raised, as (index, error)."""
    errors = []

    def body(index):
        try:
            target(index)
        except BaseException as error:  # noqa: BLE001 - every failure is reported
            errors.append((index, error))

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(HANG_GUARD)
        assert not thread.is_alive(), "a thread hung"
    return errors
