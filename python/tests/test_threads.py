"""Other Python threads run while a trace is assembled, read or written, and
threads reading and writing at once get what each alone would."""

import logging
import sys
import threading
import time
from datetime import datetime, timedelta, timezone

import pytest

from quillrun_sdk import _quillrun_sdk as m
from qrd_craft import MarkerRow, Point, qrd_bytes, us

NavFile = m.NavFile
T0 = datetime(2024, 5, 1, 12, 0, 0, tzinfo=timezone.utc)
T0_US = us(T0)
POINTS = 200_000


def big_builder():
    builder = m.NavFileBuilder()
    for i in range(POINTS):
        builder.add(m.NavFix(51.5 + i * 1e-6, -0.1 - i * 1e-6, gps_time=T0 + timedelta(seconds=i)))
    return builder


@pytest.fixture(scope="module")
def big():
    return big_builder().finish()


def progress_during(call):
    """How many turns another thread made while `call` ran."""
    previous = sys.getswitchinterval()
    # The caller keeps the interpreter lock between its own bytecodes, so the
    # other thread runs only where the call gives the lock up.
    sys.setswitchinterval(1000.0)
    turns = 0
    stop = False
    ready = threading.Event()

    def spin():
        nonlocal turns
        ready.set()
        while not stop:
            turns += 1
            # Asleep, so the caller takes the lock back at once when it
            # wants it.
            time.sleep(0.0001)

    other = threading.Thread(target=spin)
    other.start()
    ready.wait()
    try:
        before = turns
        result = call()
        during = turns - before
    finally:
        stop = True
        other.join()
        sys.setswitchinterval(previous)
    return during, result


def test_other_threads_run_during_to_bytes_and_from_bytes(big):
    during, image = progress_during(big.to_bytes)
    assert during > 0
    assert image == big.to_bytes()
    during, read = progress_during(lambda: NavFile.from_bytes(image))
    assert during > 0
    assert len(read.points) == POINTS and read.to_bytes() == image


def test_other_threads_run_during_open_and_write_to_file(big, tmp_path):
    path = tmp_path / "big.qrd"
    during, _ = progress_during(lambda: big.write_to_file(path))
    assert during > 0
    assert path.read_bytes() == big.to_bytes()
    during, read = progress_during(lambda: NavFile.open(path))
    assert during > 0
    assert len(read.points) == POINTS


def test_other_threads_run_during_finish():
    builder = big_builder()
    during, nav_file = progress_during(builder.finish)
    assert during > 0
    assert len(nav_file.points) == POINTS


def test_a_logging_handler_may_read_and_write_while_a_read_logs(tmp_path, run_isolated):
    # The records of a read reach Python after the read: a handler that reads
    # and writes files itself neither waits for the read's HDF5 lock nor
    # meets half-closed library state.
    (tmp_path / "icons.qrd").write_bytes(qrd_bytes(
        points=[Point(51.5, -0.1, gps=T0_US)],
        markers=[MarkerRow(T0_US, 0.0, 0.0, icon=200 + i, label=f"m{i}") for i in range(3)]))
    output = run_isolated("""
        import logging
        from quillrun_sdk import NavFile

        class Reader(logging.Handler):
            busy = False

            def emit(self, record):
                print(record.getMessage())
                if self.busy:
                    return
                self.busy = True
                nav_file = NavFile.open("icons.qrd")
                nav_file.write_to_file("copy.qrd")
                print(len(NavFile.from_bytes(nav_file.to_bytes()).markers))
                self.busy = False

        logger = logging.getLogger("quillrun_sdk.read")
        logger.addHandler(Reader())
        logger.setLevel(logging.WARNING)
        logger.propagate = False
        print(len(NavFile.open("icons.qrd").markers))
        """)
    texts = [f"unrecognized markers/icon code {200 + i}, preserving it as-is" for i in range(3)]
    # Each of the handler's own reads logs its three records after it ends.
    assert output.splitlines() == ([texts[0], *texts, *texts, "3"] + [texts[1], *texts, *texts, "3"]
                                   + [texts[2], *texts, *texts, "3"] + ["3"])


def test_threads_reading_and_writing_at_once(tmp_path):
    traces = []
    for n in (1, 7, 300, 2_000):
        builder = m.NavFileBuilder()
        for i in range(n):
            builder.add(m.NavFix(10.0 + i * 1e-3, 20.0 + n * 1e-3, gps_time=T0 + timedelta(seconds=i)))
        traces.append(builder.finish())
    images = [t.to_bytes() for t in traces]
    failures = []

    def work(k):
        try:
            for round_ in range(15):
                j = (k + round_) % len(traces)
                assert traces[j].to_bytes() == images[j]
                read = NavFile.from_bytes(images[j])
                assert [p.lat for p in read.points] == [p.lat for p in traces[j].points]
                path = tmp_path / f"{k}.qrd"
                traces[j].write_to_file(path)
                assert NavFile.open(path).to_bytes() == images[j]
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            failures.append(error)

    workers = [threading.Thread(target=work, args=(k,)) for k in range(6)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert failures == []
