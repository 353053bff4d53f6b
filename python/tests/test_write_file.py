"""NavFile.write_to_file: which path is written, what the file gets, and that
a failed write costs the caller nothing."""

import os
import pathlib
import signal
import stat
import subprocess
import sys
import textwrap
import threading
from datetime import datetime, timezone

import pytest

from quillrun_sdk import _quillrun_sdk as m
from qrd_craft import Point, qrd_bytes

NavFile = m.NavFile


class FsPath:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


@pytest.fixture
def nav_file():
    return NavFile.from_bytes(qrd_bytes(points=[Point(51.5, -0.1, gps=1_700_000_000_000_000)]))


def listing(folder):
    return sorted(str(p.relative_to(folder)) for p in pathlib.Path(folder).rglob("*"))


def open_fds():
    return sorted(os.listdir("/proc/self/fd"))


@pytest.fixture
def folder(tmp_path, monkeypatch):
    """A working directory holding two folders, an existing file and a
    folder whose name has the extension."""
    (tmp_path / "d").mkdir()
    (tmp_path / "sub").mkdir()
    (tmp_path / "dir.qrd").mkdir()
    (tmp_path / "file.h5").write_bytes(b"keep")
    monkeypatch.chdir(tmp_path)
    return tmp_path


BEFORE = ["d", "dir.qrd", "file.h5", "sub"]
IS_A_DIRECTORY = "I/O error: Is a directory (os error 21)"
NO_SUCH_FILE = "I/O error: No such file or directory (os error 2)"


# Relative paths as given, through the extension rule; trailing "/" and "/."
# and final "." and ".." names reach the system as they are.
@pytest.mark.parametrize(
    "given, outcome",
    [
        ("x", "x.qrd"),
        ("d", "d.qrd"),
        ("d/", "d.qrd"),
        ("d/.", "d.qrd"),
        ("d/.x", "d/.x.qrd"),
        ("sub/./y", "sub/y.qrd"),
        ("sub/../z", "z.qrd"),
        ("./w.h5", "w.h5"),
        ("file.h5", "file.h5"),
        ("", NO_SUCH_FILE),
        (".", IS_A_DIRECTORY),
        ("..", IS_A_DIRECTORY),
        ("d/..", IS_A_DIRECTORY),
        ("dir.qrd", IS_A_DIRECTORY),
        ("dir.qrd/", IS_A_DIRECTORY),
        ("x.h5/", IS_A_DIRECTORY),
        ("file.h5/", IS_A_DIRECTORY),
        ("x.h5/.", NO_SUCH_FILE),
        ("file.h5/.", "I/O error: Not a directory (os error 20)"),
        ("nodir/x.h5", NO_SUCH_FILE),
    ],
)
@pytest.mark.parametrize("kind", [str, FsPath])
def test_path_shapes(folder, nav_file, given, outcome, kind):
    fds = open_fds()
    if outcome.startswith("I/O error"):
        with pytest.raises(OSError) as info:
            nav_file.write_to_file(kind(given))
        assert type(info.value) is OSError
        assert str(info.value) == outcome
        assert listing(folder) == BEFORE
        assert (folder / "file.h5").read_bytes() == b"keep"
    else:
        assert nav_file.write_to_file(kind(given)) is None
        assert (folder / outcome).read_bytes() == nav_file.to_bytes()
        assert listing(folder) == sorted(set(BEFORE) | {outcome})
    assert open_fds() == fds


def test_root_folder_is_a_directory(nav_file):
    with pytest.raises(OSError) as info:
        nav_file.write_to_file("/")
    assert str(info.value) == IS_A_DIRECTORY


@pytest.mark.parametrize("umask, mode", [(0o022, 0o644), (0o077, 0o600), (0o000, 0o666)])
def test_a_new_file_gets_0666_less_the_umask(tmp_path, nav_file, umask, mode):
    previous = os.umask(umask)
    try:
        nav_file.write_to_file(tmp_path / "x.qrd")
    finally:
        os.umask(previous)
    assert stat.S_IMODE(os.stat(tmp_path / "x.qrd").st_mode) == mode


@pytest.mark.parametrize("mode", [0o640, 0o604, 0o2664])
def test_an_existing_file_keeps_its_mode(tmp_path, nav_file, mode):
    path = tmp_path / "x.qrd"
    path.write_bytes(b"old")
    os.chmod(path, mode)
    nav_file.write_to_file(path)
    assert stat.S_IMODE(os.stat(path).st_mode) == mode
    assert path.read_bytes() == nav_file.to_bytes()


@pytest.mark.skipif(os.geteuid() != 0, reason="giving a file away needs root")
def test_an_existing_file_keeps_its_owner_and_group(tmp_path, nav_file):
    path = tmp_path / "x.qrd"
    path.write_bytes(b"old")
    os.chown(path, 4321, 8765)
    nav_file.write_to_file(path)
    info = os.stat(path)
    assert (info.st_uid, info.st_gid) == (4321, 8765)


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to set up files of other owners")
def test_what_the_process_may_write_decides_not_the_folder(tmp_path, nav_file):
    def make(name, mode, owner=(0, 0)):
        (tmp_path / name).write_bytes(b"old")
        os.chown(tmp_path / name, *owner)
        os.chmod(tmp_path / name, mode)
        return os.stat(tmp_path / name).st_ino

    os.chmod(tmp_path, 0o777)
    (tmp_path / "locked").mkdir(mode=0o755)
    (tmp_path / "sticky").mkdir()
    os.chmod(tmp_path / "sticky", 0o1777)
    make("ro.qrd", 0o444)
    make("theirs.qrd", 0o666, (4321, 8765))
    # A file the process may write in a folder it may not change, or in a
    # sticky folder under another owner, cannot be renamed over: it is
    # written in place, as it always was.
    inodes = {"locked/open.qrd": make("locked/open.qrd", 0o666),
              "sticky/alice.qrd": make("sticky/alice.qrd", 0o666, (4321, 8765))}
    (tmp_path / "image").write_bytes(nav_file.to_bytes())
    # Root's rights are given up after the start, in the test's folder.
    code = """
        import os
        from quillrun_sdk import NavFile
        nav_file = NavFile.open("image")
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)
        try:
            nav_file.write_to_file("ro.qrd")
        except OSError as error:
            print(error)
        for path in ("theirs.qrd", "locked/open.qrd", "sticky/alice.qrd"):
            nav_file.write_to_file(path)
        """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=tmp_path, capture_output=True,
                            text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "I/O error: Permission denied (os error 13)\n"
    assert (tmp_path / "ro.qrd").read_bytes() == b"old"
    for path in ("theirs.qrd", "locked/open.qrd", "sticky/alice.qrd"):
        assert (tmp_path / path).read_bytes() == nav_file.to_bytes()
        assert stat.S_IMODE(os.stat(tmp_path / path).st_mode) == 0o666
    for path, inode in inodes.items():
        assert os.stat(tmp_path / path).st_ino == inode
    assert listing(tmp_path) == ["image", "locked", "locked/open.qrd", "ro.qrd", "sticky", "sticky/alice.qrd",
                                 "theirs.qrd"]


@pytest.mark.parametrize("relative", [True, False])
def test_a_symlink_target_replaces_the_file_it_points_to(tmp_path, nav_file, relative):
    (tmp_path / "data").mkdir()
    (tmp_path / "links").mkdir()
    target = tmp_path / "data" / "real.qrd"
    target.write_bytes(b"old")
    os.chmod(target, 0o640)
    hop = tmp_path / "links" / "hop.qrd"
    hop.symlink_to("../data/real.qrd" if relative else target)
    link = tmp_path / "links" / "link.qrd"
    link.symlink_to("hop.qrd" if relative else hop)
    nav_file.write_to_file(link)
    assert link.is_symlink() and hop.is_symlink()
    assert os.readlink(link) == ("hop.qrd" if relative else str(hop))
    assert target.read_bytes() == nav_file.to_bytes()
    assert stat.S_IMODE(os.stat(target).st_mode) == 0o640
    assert listing(tmp_path) == ["data", "data/real.qrd", "links", "links/hop.qrd", "links/link.qrd"]


def test_a_dangling_symlink_creates_the_file_it_names(tmp_path, nav_file):
    link = tmp_path / "link.qrd"
    link.symlink_to("made.qrd")
    nav_file.write_to_file(link)
    assert link.is_symlink()
    assert (tmp_path / "made.qrd").read_bytes() == nav_file.to_bytes()


def test_a_symlink_loop_is_the_systems_error(tmp_path, nav_file):
    (tmp_path / "a.qrd").symlink_to("b.qrd")
    (tmp_path / "b.qrd").symlink_to("a.qrd")
    with pytest.raises(OSError) as info:
        nav_file.write_to_file(tmp_path / "a.qrd")
    assert str(info.value) == "I/O error: Too many levels of symbolic links (os error 40)"
    assert listing(tmp_path) == ["a.qrd", "b.qrd"]


def test_a_symlink_to_a_directory_is_a_directory(tmp_path, nav_file):
    (tmp_path / "d").mkdir()
    (tmp_path / "link.qrd").symlink_to("d")
    with pytest.raises(OSError) as info:
        nav_file.write_to_file(tmp_path / "link.qrd")
    assert str(info.value) == IS_A_DIRECTORY


def test_a_fifo_is_written_in_place_for_its_reader(tmp_path, nav_file):
    fifo = tmp_path / "pipe.qrd"
    os.mkfifo(fifo)
    received = []
    # The reader opens the FIFO in another thread, so the write's open waits
    # for it as with any FIFO.
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
    reader.start()
    nav_file.write_to_file(fifo)
    reader.join(timeout=60)
    assert received == [nav_file.to_bytes()]
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert listing(tmp_path) == ["pipe.qrd"]


def test_a_fifo_read_by_another_process(tmp_path, nav_file):
    fifo = tmp_path / "pipe.qrd"
    os.mkfifo(fifo)
    with subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE) as reader:
        nav_file.write_to_file(fifo)
        received = reader.communicate(timeout=60)[0]
    assert received == nav_file.to_bytes()
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)


@pytest.mark.parametrize("into_file", [False, True])
def test_dev_stdout_writes_into_what_stdout_is(tmp_path, nav_file, into_file):
    (tmp_path / "image").write_bytes(nav_file.to_bytes())
    # Named through a link: "/dev/stdout" itself would get the extension.
    (tmp_path / "stdout.qrd").symlink_to("/dev/stdout")
    code = "from quillrun_sdk import NavFile; NavFile.open('image').write_to_file('stdout.qrd')"
    if into_file:
        out = tmp_path / "out.qrd"
        out.write_bytes(b"x" * 100_000)
        inode = os.stat(out).st_ino
        with open(out, "r+b") as stdout:
            subprocess.run([sys.executable, "-c", code], cwd=tmp_path, stdout=stdout, check=True, timeout=60)
        # Written through the descriptor's own file, not renamed over it.
        assert os.stat(out).st_ino == inode
        assert out.read_bytes() == nav_file.to_bytes()
    else:
        result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, check=True,
                                timeout=60)
        assert result.stdout == nav_file.to_bytes()
    assert (tmp_path / "stdout.qrd").is_symlink()
    assert listing(tmp_path) == (["image", "out.qrd", "stdout.qrd"] if into_file else ["image", "stdout.qrd"])


def test_a_character_device_is_written_in_place(tmp_path, nav_file):
    (tmp_path / "null.qrd").symlink_to("/dev/null")
    before = os.stat("/dev/null")
    nav_file.write_to_file(tmp_path / "null.qrd")
    after = os.stat("/dev/null")
    assert stat.S_ISCHR(after.st_mode) and after.st_rdev == before.st_rdev
    assert (tmp_path / "null.qrd").is_symlink()


def test_success_leaves_no_descriptor_and_no_other_file(tmp_path, nav_file):
    fds = open_fds()
    existing = tmp_path / "old.qrd"
    existing.write_bytes(b"old")
    for path in (tmp_path / "new.qrd", existing, tmp_path / "new.qrd"):
        nav_file.write_to_file(path)
        assert path.read_bytes() == nav_file.to_bytes()
    assert open_fds() == fds
    assert listing(tmp_path) == ["new.qrd", "old.qrd"]


# The full disk, without mounting one: a file-size limit below the image.
# The child ignores SIGXFSZ, so the write that passes the limit fails with
# EFBIG instead of killing it.
FULL_DISK = """
    import os, resource, signal, sys
    from quillrun_sdk import NavFile
    nav_file = NavFile.open("image")
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (int(sys.argv[2]), resource.RLIM_INFINITY))
    fds = sorted(os.listdir("/proc/self/fd"))
    try:
        nav_file.write_to_file(sys.argv[1])
    except OSError as error:
        print(type(error).__name__, error)
    print(fds == sorted(os.listdir("/proc/self/fd")))
"""


@pytest.mark.parametrize("existing", [b"old content " * 100, None])
def test_a_full_disk_leaves_the_old_file_whole_and_no_temporary(tmp_path, nav_file, existing):
    image = nav_file.to_bytes()
    (tmp_path / "image").write_bytes(image)
    target = tmp_path / "x.qrd"
    if existing is not None:
        target.write_bytes(existing)
    limit = len(image) // 2
    assert limit > 4096
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(FULL_DISK), "x.qrd", str(limit)],
                            cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "OSError I/O error: File too large (os error 27)\nTrue\n"
    if existing is None:
        assert listing(tmp_path) == ["image"]
    else:
        assert target.read_bytes() == existing
        assert listing(tmp_path) == ["image", "x.qrd"]


def test_failures_leave_no_descriptor(tmp_path, nav_file):
    (tmp_path / "dir.qrd").mkdir()
    fds = open_fds()
    for path in ("dir.qrd", "missing/x.qrd", "dir.qrd/", ""):
        with pytest.raises(OSError):
            nav_file.write_to_file(str(tmp_path) + "/" + path if path else path)
    assert open_fds() == fds
    assert listing(tmp_path) == ["dir.qrd"]


def test_an_existing_file_is_replaced_not_rewritten(tmp_path, nav_file):
    path = tmp_path / "x.qrd"
    path.write_bytes(b"old content")
    with open(path, "rb") as reader:
        nav_file.write_to_file(path)
        # A reader of the old file never sees a mix of old and new.
        assert reader.read() == b"old content"
    assert path.read_bytes() == nav_file.to_bytes()


@pytest.mark.parametrize("stem", ["a" * 251, "a" + "é" * 125])
def test_a_name_of_the_longest_length_is_written(tmp_path, nav_file, stem):
    name = stem + ".qrd"
    assert len(os.fsencode(name)) == 255
    nav_file.write_to_file(tmp_path / name)
    assert listing(tmp_path) == [name]


def test_a_fifo_whose_reader_comes_late_while_signals_arrive(tmp_path):
    builder = m.NavFileBuilder()
    for i in range(20_000):
        # Positions that do not compress away.
        builder.add(m.NavFix((i * 7919 % 10007) * 1e-3, (i * 104729 % 7561) * 1e-3,
                             gps_time=datetime.fromtimestamp(1.7e9 + i, timezone.utc)))
    nav_file = builder.finish()
    image = nav_file.to_bytes()
    assert len(image) > 1 << 16  # more than a pipe holds, so the writes block too
    fifo = tmp_path / "pipe.qrd"
    os.mkfifo(fifo)
    alarms = []
    # Python's handlers interrupt system calls instead of restarting them:
    # the open waiting for the reader and the blocked writes see EINTR.
    previous = signal.signal(signal.SIGALRM, lambda *_: alarms.append(1))
    signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
    try:
        with subprocess.Popen(["sh", "-c", 'sleep 0.3; exec cat "$0"', str(fifo)], stdout=subprocess.PIPE) as reader:
            received = []
            threading.Thread(target=lambda: received.append(reader.stdout.read()), daemon=True).start()
            nav_file.write_to_file(fifo)
            reader.wait(timeout=60)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
        signal.signal(signal.SIGALRM, previous)
    assert alarms
    assert b"".join(received) == image
