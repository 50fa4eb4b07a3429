"""Output files: checked before any work, written atomically, their write
errors naming them; and input files read with a bound.

A regular file (or a new one) is written to a temporary file in its own
directory and renamed into place once complete, so a failed or interrupted
run never leaves a truncated file where a good one stood; a symbolic link
is followed, so the file it names is replaced and the link kept. Anything
else a user points us at (a device such as /dev/null, a FIFO, a terminal)
is written in place: replacing it would break it. A FIFO is opened
without blocking, and waited for while signals can still end the wait.
"""
import contextlib
import errno
import os
import secrets
import stat
import sys
import time
from collections.abc import Collection, Iterable, Iterator
from typing import IO, Any

# Temporary files being written, removed by `discard_temporaries` when the
# process must end at once (a second Ctrl-C).
TEMPORARIES: set[str] = set()


def check_outputs(outputs: Iterable[str | None], inputs: Collection[str | None] = ()) -> None:
    """Refuses, before any work, an output that cannot be written, that the
    user may not write, or that would overwrite an input. `None` and '-'
    (stdout) are always fine."""
    paths = [p for p in outputs if p not in (None, "-")]
    for path in paths:
        for source in inputs:
            if source not in (None, "-") and same_file(path, source):
                raise ValueError(f"{path}: is the input file; choose another output")
        if os.path.isdir(path):
            raise IsADirectoryError(21, "Is a directory", path)
        if exists(path) and not is_regular(path):
            if not os.access(path, os.W_OK):
                raise PermissionError(13, "Permission denied", path)
            continue  # written in place
        if os.path.exists(path) and not writable(path):
            raise PermissionError(13, "Permission denied (the file is read-only)", path)
        # The only reliable test of the directory is to do it: create (and
        # drop) a file beside the output.
        try:
            with creating(target_of(path)) as (fd, _):
                os.close(fd)
        except OSError as error:
            raise type(error)(error.errno, error.strerror, path) from None


def exists(path: str) -> bool:
    return os.path.lexists(path)


def is_regular(path: str) -> bool:
    """A regular file, or a link to one; a dangling link counts as a new
    regular file."""
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:  # not there (yet): check_outputs says what is wrong
        return True


def writable(path: str) -> bool:
    """Whether the user may write the file. Root may write anything, but a
    file with no write permission at all is kept read-only for root too,
    as the user who made it so meant."""
    return os.access(path, os.W_OK) and os.stat(path).st_mode & 0o222 != 0


def same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)


def target_of(path: str) -> str:
    """The regular file a path stands for: the path, or the file its links lead to."""
    return os.path.realpath(path) if os.path.islink(path) else path


def directory_of(path: str) -> str:
    """The directory a path lives in; file errors name the path itself."""
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise FileNotFoundError(2, "No such file or directory", path)
    return directory


@contextlib.contextmanager
def creating(path: str) -> Iterator[tuple[int, str]]:
    """A new temporary file beside `path`: its descriptor and name. The name
    is listed in TEMPORARIES before the file exists and until the block
    ends, and the file is removed when the block ends unless it was renamed
    away, so that no way out leaves it behind."""
    directory = directory_of(path)
    while True:
        temp = os.path.join(directory, f".{os.path.basename(path)}.{secrets.token_hex(4)}.tmp")
        TEMPORARIES.add(temp)
        try:
            fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, file_mode(path))
            break
        except FileExistsError:
            TEMPORARIES.discard(temp)
        except BaseException:
            TEMPORARIES.discard(temp)
            raise
    try:
        yield fd, temp
    finally:
        with contextlib.suppress(OSError):
            os.unlink(temp)
        TEMPORARIES.discard(temp)


def discard_temporaries() -> None:
    for temp in list(TEMPORARIES):
        with contextlib.suppress(OSError):
            os.unlink(temp)


@contextlib.contextmanager
def replacing(path: str | os.PathLike[str], binary: bool = False) -> Iterator[IO[Any]]:
    """A file object whose content replaces `path` when the block ends
    without an exception; on an exception `path` is left as it was. A path
    that is not a regular file is written in place."""
    path = os.fspath(path)
    with named(path):
        if exists(path) and not is_regular(path):
            with in_place(path, binary) as file:
                yield file
            return
        target = target_of(path)
        with creating(target) as (fd, temp):
            os.fchmod(fd, file_mode(target))
            with os.fdopen(fd, "wb") if binary else os.fdopen(fd, "w", newline="", encoding="utf-8") as file:
                yield file
                file.flush()
                os.fsync(file.fileno())
            os.replace(temp, target)


@contextlib.contextmanager
def named(path: str) -> Iterator[None]:
    """An error of the system that names no file (a full disk, a file size
    limit) is raised naming `path`: the user must know which output failed."""
    try:
        yield
    except OSError as error:
        if error.filename is not None or error.errno is None:
            raise
        raise type(error)(error.errno, error.strerror, path) from None


def in_place(path: str, binary: bool = False) -> IO[Any]:
    """`path` opened for writing where it is (a device, a FIFO). A FIFO is
    opened without blocking and tried again every POLL seconds until it has
    a reader, so that a noted Ctrl-C ends the wait (`interrupts.check`)."""
    from . import interrupts

    flags = os.O_WRONLY | os.O_NONBLOCK
    while True:
        try:
            fd = os.open(path, flags if stat.S_ISFIFO(os.stat(path).st_mode) else os.O_WRONLY | os.O_TRUNC)
            break
        except OSError as error:
            if error.errno != errno.ENXIO:  # a FIFO with a reader yet to come
                raise
        interrupts.check()
        time.sleep(interrupts.POLL)
    os.set_blocking(fd, True)
    return os.fdopen(fd, "wb") if binary else os.fdopen(fd, "w", newline="", encoding="utf-8")


def read_limited(path: str, limit: int, what: str) -> bytes:
    """The bytes of an input file of at most `limit` bytes; a longer one (or
    one without end, such as /dev/zero) is refused naming it as not `what`."""
    with open(path, "rb") as file:
        data = file.read(limit + 1)
    if len(data) > limit:
        raise ValueError(f"{path}: more than {limit >> 20} MiB; not {what}")
    return data


def file_mode(path: str) -> int:
    """The mode the file has, or a new file's under the current umask."""
    try:
        return os.stat(path).st_mode & 0o7777
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


def writing(path: str | None) -> contextlib.AbstractContextManager[IO[str]]:
    """A text file to write atomically, or stdout for None and '-'."""
    if path in (None, "-"):
        return contextlib.nullcontext(sys.stdout)
    return replacing(path)
