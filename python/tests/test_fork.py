"""Processes that fork while other threads read, write or assemble traces:
the children work, the parents' threads finish with what they would have got,
and no thread of the module outlives the call that started it. Each case
runs in a fresh interpreter with a timeout, and every forked child ends itself
with an alarm, so a hang fails the test."""

# Traces whose satellite columns are long enough for a read or write to
# start threads of its own.
TRACES = """
import os, signal, sys, threading, warnings
from datetime import datetime, timedelta, timezone
from quillrun_sdk import NavFile, NavFileBuilder, NavFix, Satellite, SatelliteReport
from quillrun_sdk.enums import Constellation

T0 = datetime(2024, 5, 1, 12, 0, tzinfo=timezone.utc)

def fixes(n):
    builder = NavFileBuilder()
    for i in range(n):
        builder.add(NavFix(51.5 + i * 1e-6, -0.1, gps_time=T0 + timedelta(seconds=i)))
    return builder

def with_satellites(n):
    builder = fixes(n)
    for i in range(n):
        tracked = [Satellite(Constellation.GPS, s + 1, elevation=float(s)) for s in range(12)]
        builder.add(SatelliteReport(tracked, gps_time=T0 + timedelta(seconds=i)))
    return builder

def threads():
    return len(os.listdir("/proc/self/task"))

def exit_code(pid):
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
"""


def test_children_forked_while_other_threads_are_inside_each_call(run_isolated):
    output = run_isolated(TRACES + """
import random, time
# The parent's own threads make every fork warn.
warnings.simplefilter("ignore", DeprecationWarning)

big = with_satellites(6000).finish()
image = big.to_bytes()
with open("big.qrd", "wb") as f:
    f.write(image)
SMALL = 3000
small_image = fixes(SMALL).finish().to_bytes()
FINISHED = 20000

def same_trace(nav):
    return len(nav.points) == 6000 and nav.points[-1].satellites.tracked[11].prn == 12

def write_and_compare(nav, path):
    nav.write_to_file(path)
    with open(path, "rb") as f:
        return f.read() == image

calls = {
    "open": lambda: same_trace(NavFile.open("big.qrd")),
    "from_bytes": lambda: same_trace(NavFile.from_bytes(image)),
    "to_bytes": lambda: big.to_bytes() == image,
    "write_to_file": lambda: write_and_compare(big, "parent.qrd"),
}

inside = {name: False for name in [*calls, "finish"]}
rounds = {name: 0 for name in inside}
wrong = []
stop = threading.Event()

def loop(name, call):
    while not stop.is_set():
        inside[name] = True
        ok = call()
        inside[name] = False
        rounds[name] += 1
        if not ok:
            wrong.append(name)

def finish_loop():
    while not stop.is_set():
        builder = fixes(FINISHED)
        inside["finish"] = True
        nav = builder.finish()
        inside["finish"] = False
        rounds["finish"] += 1
        if len(nav.points) != FINISHED or nav.points[-1].lat != 51.5 + (FINISHED - 1) * 1e-6:
            wrong.append("finish")

workers = [threading.Thread(target=loop, args=item) for item in calls.items()]
workers.append(threading.Thread(target=finish_loop))
for worker in workers:
    worker.start()

def child():
    signal.alarm(10)
    failed = []
    if not same_trace(NavFile.open("big.qrd")):
        failed.append("open")
    nav = NavFile.from_bytes(image)
    if not same_trace(nav):
        failed.append("from_bytes")
    if nav.to_bytes() != image:
        failed.append("to_bytes")
    if not write_and_compare(nav, f"child-{os.getpid()}.qrd"):
        failed.append("write_to_file")
    if fixes(SMALL).finish().to_bytes() != small_image:
        failed.append("finish")
    if threads() != 1:
        failed.append(f"{threads()} threads")
    if failed:
        print(failed, file=sys.stderr, flush=True)
    os._exit(1 if failed else 0)

rng = random.Random(5)
codes = {name: [] for name in inside}
for k in range(20):
    if any(any(c) for c in codes.values()):
        break  # a child failed or hung: no need to wait for more
    name = list(inside)[k % len(inside)]
    while not inside[name]:
        time.sleep(0.0002)
    time.sleep(rng.uniform(0, 0.003))
    pid = os.fork()
    if pid == 0:
        child()
    codes[name].append(exit_code(pid))

stop.set()
for worker in workers:
    worker.join()
print(codes)
print(sorted(set(wrong)), min(rounds.values()) > 0)
""")
    assert output.splitlines() == [str({name: [0] * 4 for name in
                                        ["open", "from_bytes", "to_bytes", "write_to_file", "finish"]}),
                                    "[] True"]


def test_a_fork_pool_while_a_thread_writes(run_isolated):
    output = run_isolated(TRACES + """
import multiprocessing
warnings.simplefilter("ignore", DeprecationWarning)

big = with_satellites(6000).finish()
image = big.to_bytes()
stop = threading.Event()
wrong = []

def write():
    while not stop.is_set():
        if big.to_bytes() != image:
            wrong.append(1)

def task(k):
    signal.alarm(10)
    nav = NavFile.from_bytes(image)
    return nav.to_bytes() == image and len(nav.points) == 6000 and threads() == 1

writer = threading.Thread(target=write)
writer.start()
try:
    # A worker is replaced every second task: the pool forks again while
    # the writer writes.
    with multiprocessing.get_context("fork").Pool(3, maxtasksperchild=2) as pool:
        results = pool.map_async(task, range(12), chunksize=1).get(timeout=20)
finally:
    stop.set()
    writer.join()
print(results, wrong)
""")
    assert output.splitlines() == [f"{[True] * 12} []"]


def test_no_thread_outlives_a_call_and_a_fork_does_not_warn(run_isolated):
    output = run_isolated(TRACES + """
counts = [threads()]
big = with_satellites(6000).finish()
counts.append(threads())
image = big.to_bytes()
counts.append(threads())
big.write_to_file("big.qrd")
counts.append(threads())
NavFile.from_bytes(image)
counts.append(threads())
NavFile.open("big.qrd")
counts.append(threads())
# Python warns when a process with other threads forks.
with warnings.catch_warnings(record=True) as seen:
    warnings.simplefilter("always")
    pid = os.fork()
    if pid == 0:
        os._exit(0)
print(counts, exit_code(pid), [str(w.message) for w in seen])
""")
    assert output.splitlines() == ["[1, 1, 1, 1, 1, 1] 0 []"]
