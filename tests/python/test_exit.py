"""The interpreter exits cleanly while daemon threads are inside the modules: blocked in a port
read, waiting for an answer, or waiting in the interpreter's own sleeps, queues and locks."""
import pytest

from exit_cases import CASES, run_case

RUNS = 20


@pytest.mark.timeout(600)
@pytest.mark.parametrize("case", sorted(CASES))
def test_exit_status_is_zero_with_daemon_threads_inside(case):
    statuses, first_failure = run_case(case, RUNS)
    assert statuses == {0: RUNS}, first_failure
