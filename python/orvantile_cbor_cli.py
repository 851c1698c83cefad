"""orvantile-cbor: converts JSON documents to CBOR with orvantile_cbor.dumps.

Each input (a file, or standard input) holds one JSON document and becomes
one CBOR data item; the items are written one after the other, in the order
of the inputs, to standard output or to the file named by -o. Nothing is
written unless every input converts: a bad input is reported on standard
error, the command exits with status 1, and an existing output file is left
as it was.
"""

import argparse
import errno
import json
import ntpath
import os
import re
import stat
import sys
import tempfile

import orvantile_cbor

PROG = "orvantile-cbor"
STDIN = "-"
# What dumps raises for a str without a UTF-8 form; from JSON that is a
# string holding an unpaired surrogate escape such as "\ud800".
CAST_ERROR = "Unable to cast Python instance to C++ type"
# Windows' C runtime reports a write to a pipe whose reader has gone as
# EINVAL, not as a broken pipe.
WINDOWS = sys.platform == "win32"
# Names Windows takes for a device in any folder, in any case, also with an
# extension, trailing spaces or a colon ("nul.txt", "dir\\COM1 ", "CON:").
WINDOWS_DEVICES = frozenset(["CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"]
                            + ["COM%d" % number for number in range(1, 10)]
                            + ["LPT%d" % number for number in range(1, 10)])
# Behind \\.\ or \\?\ a drive, UNC or volume path names a file; anything else
# (NUL, COM1, pipe\NAME) a device.
WINDOWS_NAMESPACE_FILE = re.compile(r"[a-z]:\\|unc\\|volume\{", re.IGNORECASE)
# The temporary file's name takes the target's name, cut so that it is no
# longer than the target's (or than this floor): a folder that holds the
# target's name has room for it.
TEMPORARY_NAME_FLOOR = 32
TEMPORARY_NAME_EXTRA = len(".") + len(".") + 8 + len(".tmp")  # 8: mkstemp's random part


class InputError(Exception):
    """One bad input; the message is the whole line printed for it."""


MAX_DEPTH_LIMIT = 2**64 - 1


def _max_depth(text):
    try:
        value = int(text, 10)
    except ValueError:
        value = -1
    if not 0 <= value <= MAX_DEPTH_LIMIT:
        raise argparse.ArgumentTypeError("expected a whole number of 0 or more, up to 2**64-1, got %r" % text)
    return value


class _Parser(argparse.ArgumentParser):
    def _print_message(self, message, file=None):
        # As argparse does from Python 3.11 on: with standard output closed
        # (None, as after >&- or under pythonw) help goes to standard error,
        # and nowhere when that is closed too.
        if message:
            try:
                (file or sys.stderr).write(message)
            except (AttributeError, OSError):
                pass


def _parser():
    parser = _Parser(
        prog=PROG,
        description="Convert JSON documents to CBOR (RFC 8949), one data item per input.",
        epilog="Without FILE, or with -, standard input is read. Integers must lie "
        "between -2**63 and 2**64-1. On a bad input the command prints one line "
        "naming it, writes nothing and exits with status 1.",
    )
    parser.add_argument("files", nargs="*", metavar="FILE", help="JSON file to convert (default: standard input)")
    parser.add_argument("-o", "--output", metavar="FILE",
                        help="write to FILE instead of standard output; it is replaced only "
                        "once every input has converted")
    parser.add_argument("--definite", action="store_true",
                        help="write arrays and maps with definite lengths (default: indefinite-length "
                        "items closed by a break byte)")
    parser.add_argument("--max-depth", type=_max_depth, default=0, metavar="N",
                        help="refuse nesting deeper than N levels (default: 0, no limit)")
    parser.add_argument("--hex", action="store_true",
                        help="write each item as a line of hexadecimal text instead of binary")
    parser.add_argument("--version", action="version", version="%(prog)s " + orvantile_cbor.__version__)
    return parser


def _read(name):
    try:
        if name == STDIN:
            if sys.stdin is None:
                raise InputError("cannot read standard input: it is closed")
            return sys.stdin.buffer.read()
        with open(name, "rb") as stream:
            return stream.read()
    except OSError as error:
        raise InputError("cannot read %s: %s" % (name, error.strerror or error))


def convert(data, label, indefinite=True, max_depth=0):
    """Returns the CBOR item for the JSON document in data (bytes or str);
    raises InputError with a one-line message that starts with label."""
    try:
        value = json.loads(data)
    except json.JSONDecodeError as error:
        raise InputError("%s:%d:%d: invalid JSON: %s" % (label, error.lineno, error.colno, error.msg))
    except UnicodeDecodeError as error:
        raise InputError("%s: not UTF-8, UTF-16 or UTF-32 text: %s" % (label, error))
    except RecursionError:
        raise InputError("%s: JSON nested too deeply to read" % label)
    except MemoryError:
        raise InputError("%s: out of memory while reading the JSON" % label)
    except ValueError as error:
        # An integer with more digits than the interpreter converts (4,300 by default).
        raise InputError("%s: cannot read the JSON: %s" % (label, error))
    try:
        return orvantile_cbor.dumps(value, indefinite=indefinite, max_depth=max_depth)
    except RecursionError:
        raise InputError("%s: nested too deeply to encode" % label)
    except MemoryError:
        raise InputError("%s: out of memory while encoding" % label)
    except RuntimeError as error:
        message = str(error)
        if message.startswith(CAST_ERROR):
            message = "a string holds an unpaired surrogate escape, which has no UTF-8 form"
        raise InputError("%s: %s" % (label, message))


def _render(items, as_hex):
    if as_hex:
        return b"".join(item.hex().encode("ascii") + b"\n" for item in items)
    return b"".join(items)


def _windows_device(path):
    """Whether Windows takes path for a device rather than a file."""
    path = path.replace("/", "\\")
    if path[:4] in ("\\\\.\\", "\\\\?\\"):
        return not WINDOWS_NAMESPACE_FILE.match(path, 4)
    return ntpath.basename(path).split(":")[0].split(".")[0].rstrip(" ").upper() in WINDOWS_DEVICES


def _write_file(path, data):
    """Writes data to path as a shell's > would, except that a file is
    replaced at once. A symbolic link is followed and its file replaced; a
    device or a pipe is written directly (it cannot be replaced, and nothing
    would read a file put in its place); a folder or a socket is refused."""
    if WINDOWS and _windows_device(path):
        _write_directly(path, data)
        return
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        mode = None
    if mode is None or stat.S_ISREG(mode):
        _replace_file(os.path.realpath(path) if os.path.islink(path) else path, data, mode)
    elif stat.S_ISCHR(mode) or stat.S_ISBLK(mode) or stat.S_ISFIFO(mode):
        _write_directly(path, data)
    elif stat.S_ISDIR(mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
    else:
        raise OSError(errno.ENXIO, "Is a socket")


def _write_directly(path, data):
    with open(path, "wb") as stream:
        stream.write(data)


def _replace_file(path, data, mode):
    """Replaces the file at path (mode None: a new file) by a temporary file
    in the same folder, renamed over it when complete."""
    folder, name = os.path.dirname(os.path.abspath(path)), os.path.basename(path)
    prefix = "." + name[:max(len(name), TEMPORARY_NAME_FLOOR) - TEMPORARY_NAME_EXTRA] + "."
    handle, temporary = tempfile.mkstemp(prefix=prefix, suffix=".tmp", dir=folder)
    try:
        with os.fdopen(handle, "wb") as stream:
            stream.write(data)
            stream.flush()
            os.fsync(stream.fileno())
        if mode is None:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        os.chmod(temporary, mode & 0o7777)
        os.replace(temporary, path)
    except BaseException:
        try:
            # Windows refuses to delete a read-only file, and refuses the
            # rename when the target is read-only: the mode copied from it
            # is taken back first.
            os.chmod(temporary, stat.S_IREAD | stat.S_IWRITE)
            os.unlink(temporary)
        except OSError:
            pass
        raise


def _reader_gone(error):
    return isinstance(error, BrokenPipeError) or (WINDOWS and error.errno == errno.EINVAL)


def _write_stdout(data):
    if sys.stdout is None:
        _error("cannot write to standard output: it is closed")
        return 1
    remaining = memoryview(data)
    try:
        # A reader that goes away mid-write cuts a large write short without
        # an error: the write of the rest is what reports the broken pipe.
        while remaining:
            remaining = remaining[sys.stdout.buffer.write(remaining):]
        sys.stdout.buffer.flush()
    except OSError as error:
        if not _reader_gone(error):
            _error("cannot write to standard output: %s" % (error.strerror or error))
        # Keep the interpreter from complaining about stdout when it exits; when
        # the reader went away (as with "| head"), say nothing more.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    return 0


def _error(message):
    # With standard error closed (None), the status alone tells.
    if sys.stderr is not None:
        sys.stderr.write("%s: %s\n" % (PROG, message))


def main(argv=None):
    arguments = _parser().parse_args(argv)
    names = arguments.files or [STDIN]
    items = []
    failed = False
    for name in names:
        label = "<stdin>" if name == STDIN else name
        try:
            items.append(convert(_read(name), label, not arguments.definite, arguments.max_depth))
        except InputError as error:
            _error(str(error))
            failed = True
    if failed:
        return 1
    data = _render(items, arguments.hex)
    if arguments.output is None or arguments.output == STDIN:
        return _write_stdout(data)
    try:
        _write_file(arguments.output, data)
    except OSError as error:
        _error("cannot write %s: %s" % (arguments.output, error.strerror or error))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
