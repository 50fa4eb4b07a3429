"""Output files: checked before any work, written atomically.

Every output goes to a temporary file in its own directory and is renamed
into place once complete, so a failed or interrupted run never leaves a
truncated file where a good one stood.
"""
import contextlib
import os
import sys
import tempfile
from collections.abc import Collection, Iterable, Iterator
from typing import IO, Any


def check_outputs(outputs: Iterable[str | None], inputs: Collection[str | None] = ()) -> None:
    """Refuses, before any work, an output that cannot be written or that
    would overwrite an input. `None` and '-' (stdout) are always fine."""
    paths = [p for p in outputs if p not in (None, "-")]
    for path in paths:
        for source in inputs:
            if source not in (None, "-") and same_file(path, source):
                raise ValueError(f"{path}: is the input file; choose another output")
        if os.path.isdir(path):
            raise IsADirectoryError(21, "Is a directory", path)
        # The only reliable test is to do it: create (and drop) a file beside it.
        fd, probe = tempfile.mkstemp(dir=directory_of(path), prefix=".vexal-probe-")
        os.close(fd)
        os.unlink(probe)


def same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)


def directory_of(path: str) -> str:
    """The directory a path lives in; file errors name the path itself."""
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise FileNotFoundError(2, "No such file or directory", path)
    return directory


@contextlib.contextmanager
def replacing(path: str | os.PathLike[str], binary: bool = False) -> Iterator[IO[Any]]:
    """A file object whose content replaces `path` when the block ends
    without an exception; on an exception `path` is left as it was."""
    path = os.fspath(path)
    fd, temp = tempfile.mkstemp(dir=directory_of(path), prefix=f".{os.path.basename(path)}.", suffix=".tmp")
    try:
        os.fchmod(fd, file_mode(path))
        with os.fdopen(fd, "wb") if binary else os.fdopen(fd, "w", newline="", encoding="utf-8") as file:
            yield file
            file.flush()
            os.fsync(file.fileno())
        os.replace(temp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temp)
        raise


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
