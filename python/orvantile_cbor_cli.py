"""orvantile-cbor: converts JSON documents to CBOR with orvantile_cbor.dumps.

Each input (a file, or standard input) holds one JSON document and becomes
one CBOR data item, or with --json-lines one JSON value a line, each of which
becomes an item; the items are written one after the other, in the order of
the inputs, to standard output or to the file named by -o. Nothing is written
unless every input converts: a bad input is reported on standard error, the
command exits with status 1, and an existing output file is left as it was.
"""

import argparse
import codecs
import errno
import json
import math
import ntpath
import os
import re
import signal
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
INTEGER_RANGE = "integers must lie between -2**63 and 2**64-1"
INTEGER_MIN, INTEGER_MAX = -(2**63), 2**64 - 1
# A sign and 20 digits hold every integer of the range; a longer text is out
# of it, and is refused without converting it (which interpreters refuse
# past 4,300 digits).
INTEGER_TEXT_MAX = 21
# The tokens of valid JSON text that can hold digits: strings, and numbers
# (their integer part, fraction and exponent).
STRING_OR_NUMBER = re.compile(r'"[^"\\]*(?:\\.[^"\\]*)*"|(-?\d+)(\.\d+)?([eE][-+]?\d+)?')
# A number longer than this is shown by its two ends and its count of digits.
NUMBER_SHOWN_MAX = 40
NUMBER_END_SHOWN = 16
DEPTH_ERROR = "Exceeded recursion limit:"
RANGE_ERROR = "dumps received an integer out of range"
# How dumps writes the infinities, which a JSON number beyond a double's
# range becomes when read.
INFINITIES = (orvantile_cbor.dumps(math.inf), orvantile_cbor.dumps(-math.inf))
# Linux shows a process's open descriptors as links in /proc/PID/fd (where
# /dev/stdout, /dev/fd and /proc/self lead), macOS as the nodes of /dev/fd.
DESCRIPTOR_PATH = re.compile(r"/(?:dev|proc/%d(?:/task/\d+)?)/fd/(\d+)" % os.getpid())
LINKS_FOLLOWED_MAX = 40  # as Linux's path lookup
TERMINAL_REFUSAL = ("binary CBOR is not written to a terminal: add --hex to see it as text, "
                    "or save it with -o FILE or a shell's >")
INTERRUPTED_STATUS = 130  # what a shell reports for a command that Ctrl-C ended


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
        description="Convert JSON documents to CBOR (RFC 8949), one data item per input "
        "(with --json-lines, one per line).",
        epilog="Without FILE, or with -, standard input is read. Integers must lie "
        "between -2**63 and 2**64-1, other numbers within a float's range. On a bad "
        "input the command prints one line naming it, writes nothing and exits with "
        "status 1.",
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
    parser.add_argument("--json-lines", action="store_true",
                        help="read one JSON value per line (JSON Lines; blank lines are skipped) and "
                        "write one item per value, a CBOR sequence")
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


def _shown(text):
    """A number's text as a message shows it: a long one cut in the middle."""
    if len(text) <= NUMBER_SHOWN_MAX:
        return text
    return "%s...%s (%d digits)" % (text[:NUMBER_END_SHOWN], text[-NUMBER_END_SHOWN:],
                                    sum(character.isdigit() for character in text))


def _number_out_of_range(data):
    """The first number of the valid JSON text in data (bytes or str) that
    dumps cannot write as the value it states, an integer outside its range
    or a number beyond a float's: (line, column, message), or None. Scans the
    text without nesting, whatever its depth."""
    text = data if isinstance(data, str) else data.decode(json.detect_encoding(data), "surrogatepass")
    for token in STRING_OR_NUMBER.finditer(text):
        if token.group(1) is None:
            continue
        number = token.group()
        if token.group(2) or token.group(3):
            if not math.isinf(float(number)):
                continue
            message = "number %s is out of range: a float's magnitude must be at most %r" % (
                _shown(number), sys.float_info.max)
        else:
            if len(number) <= INTEGER_TEXT_MAX and INTEGER_MIN <= int(number) <= INTEGER_MAX:
                continue
            message = "integer %s is out of range: %s" % (_shown(number), INTEGER_RANGE)
        start = token.start()
        return text.count("\n", 0, start) + 1, start - text.rfind("\n", 0, start), message
    return None


def _refuse_numbers_out_of_range(data, label, line):
    """Raises InputError for the first number in data that dumps cannot write
    as the value it states. Only a reading that failed on an integer, or an
    item that holds an infinity, pays for the scan."""
    found = _number_out_of_range(data)
    if found:
        line_in_data, column, message = found
        raise InputError("%s:%d:%d: %s" % (label, line_in_data + (line or 1) - 1, column, message))


def convert(data, label, indefinite=True, max_depth=0, line=None):
    """Returns the CBOR item for the JSON text in data (bytes or str);
    raises InputError with a one-line message that starts with label, and
    names line when data is that line of the input."""
    where = label if line is None else "%s:%d" % (label, line)
    try:
        value = json.loads(data)
    except json.JSONDecodeError as error:
        raise InputError("%s:%d:%d: invalid JSON: %s" % (label, error.lineno + (line or 1) - 1, error.colno,
                                                         error.msg))
    except UnicodeDecodeError as error:
        raise InputError("%s: not UTF-8, UTF-16 or UTF-32 text: %s" % (where, error))
    except RecursionError:
        raise InputError("%s: JSON nested too deeply to read" % where)
    except MemoryError:
        raise InputError("%s: out of memory while reading the JSON" % where)
    except ValueError as error:
        # An integer with more digits than the interpreter converts.
        _refuse_numbers_out_of_range(data, label, line)
        raise InputError("%s: cannot read the JSON: %s" % (where, error))
    try:
        item = orvantile_cbor.dumps(value, indefinite=indefinite, max_depth=max_depth)
    except RecursionError:
        raise InputError("%s: nested too deeply to encode" % where)
    except MemoryError:
        raise InputError("%s: out of memory while encoding" % where)
    except RuntimeError as error:
        message = str(error)
        if message.startswith(RANGE_ERROR):
            _refuse_numbers_out_of_range(data, label, line)
        elif message.startswith(CAST_ERROR):
            message = "a string holds an unpaired surrogate escape, which has no UTF-8 form"
        elif message.startswith(DEPTH_ERROR):
            message = "nested deeper than --max-depth %d allows" % max_depth
        raise InputError("%s: %s" % (where, message))
    if any(infinity in item for infinity in INFINITIES):
        _refuse_numbers_out_of_range(data, label, line)
    return item


def convert_lines(data, label, indefinite=True, max_depth=0):
    """Returns the CBOR items for the JSON Lines text in data (UTF-8 bytes),
    one for each line that holds more than JSON's whitespace; raises
    InputError for the first bad line."""
    items = []
    for number, line in enumerate(data.split(b"\n"), 1):
        if number == 1 and line.startswith(codecs.BOM_UTF8):
            line = line[len(codecs.BOM_UTF8):]
        try:
            text = line.decode("utf-8")
        except UnicodeDecodeError as error:
            raise InputError("%s:%d: not UTF-8 text: %s" % (label, number, error))
        if text.strip(" \t\r"):
            items.append(convert(text, label, indefinite, max_depth, number))
    return items


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


def _descriptor(path):
    """The number of this process's open descriptor that path leads to
    (/dev/stdout, /dev/fd/N, /proc/self/fd/N, or a link to one), or None."""
    for _ in range(LINKS_FOLLOWED_MAX):
        folder = os.path.realpath(os.path.dirname(os.path.abspath(path)))
        path = os.path.join(folder, os.path.basename(path))
        match = DESCRIPTOR_PATH.fullmatch(path)
        if match:
            return int(match.group(1))
        if not os.path.islink(path):
            return None
        path = os.path.join(folder, os.readlink(path))
    return None


def _write_file(path, data):
    """Writes data to path as a shell's > would, except that a file is
    replaced at once. A symbolic link is followed and its file replaced; a
    device or a pipe is written directly (it cannot be replaced, and nothing
    would read a file put in its place), and so is an open descriptor (the
    file it has open is the one its other users write after the data); a
    folder or a socket is refused."""
    if WINDOWS:
        if _windows_device(path):
            _write_directly(path, data)
            return
    else:
        descriptor = _descriptor(path)
        if descriptor is not None:
            _write_descriptor(descriptor, data)
            return
    try:
        status = os.stat(path)
    except FileNotFoundError:
        status = None
    if status is None or stat.S_ISREG(status.st_mode):
        _replace_file(os.path.realpath(path) if os.path.islink(path) else path, data, status)
    elif stat.S_ISCHR(status.st_mode) or stat.S_ISBLK(status.st_mode) or stat.S_ISFIFO(status.st_mode):
        _write_directly(path, data)
    elif stat.S_ISDIR(status.st_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
    else:
        raise OSError(errno.ENXIO, "Is a socket")


def _write_directly(path, data):
    with open(path, "wb") as stream:
        stream.write(data)


def _write_descriptor(descriptor, data):
    remaining = memoryview(data)
    while remaining:
        remaining = remaining[os.write(descriptor, remaining):]


def _owner_and_group(status):
    import grp
    import pwd

    try:
        owner = pwd.getpwuid(status.st_uid).pw_name
    except KeyError:
        owner = str(status.st_uid)
    try:
        group = grp.getgrgid(status.st_gid).gr_name
    except KeyError:
        group = str(status.st_gid)
    return owner + ":" + group


def _keep_owner(temporary, path, status):
    """Gives the temporary file the owner and group of the file it replaces;
    where that is refused, raises OSError saying so (the caller keeps the file
    rather than change its ownership)."""
    made = os.stat(temporary)
    if (made.st_uid, made.st_gid) == (status.st_uid, status.st_gid):
        return
    try:
        os.chown(temporary, status.st_uid, status.st_gid)
    except OSError as error:
        raise OSError(error.errno, "cannot keep its owner and group %s: %s; %s is left as it was "
                      "(a shell's > writes into it in place)"
                      % (_owner_and_group(status), error.strerror or error, path))


def _replace_file(path, data, status):
    """Replaces the file at path, whose os.stat is status (None: a new file),
    by a temporary file in the same folder, renamed over it when complete,
    with its mode, owner and group."""
    folder, name = os.path.dirname(os.path.abspath(path)), os.path.basename(path)
    prefix = "." + name[:max(len(name), TEMPORARY_NAME_FLOOR) - TEMPORARY_NAME_EXTRA] + "."
    handle, temporary = tempfile.mkstemp(prefix=prefix, suffix=".tmp", dir=folder)
    try:
        with os.fdopen(handle, "wb") as stream:
            stream.write(data)
            stream.flush()
            os.fsync(stream.fileno())
        if status is None:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        else:
            mode = status.st_mode
            # Windows has no owners to keep.
            if hasattr(os, "chown"):
                _keep_owner(temporary, path, status)
        # After the chown, which clears the set-user-ID and set-group-ID bits.
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


def _terminal(stream):
    """Whether stream is open on a terminal (on Windows, a console: isatty
    takes NUL, a character device, for one too)."""
    try:
        if not stream.isatty():
            return False
    except (AttributeError, ValueError, OSError):
        return False
    if WINDOWS:
        import ctypes
        import msvcrt

        console_mode = ctypes.c_ulong()
        handle = msvcrt.get_osfhandle(stream.fileno())
        return bool(ctypes.windll.kernel32.GetConsoleMode(handle, ctypes.byref(console_mode)))
    return True


def _convert_all(arguments):
    """The items of every input, or None once each bad input is reported."""
    items = []
    failed = False
    for name in arguments.files or [STDIN]:
        label = "<stdin>" if name == STDIN else name
        options = (not arguments.definite, arguments.max_depth)
        try:
            if arguments.json_lines:
                items.extend(convert_lines(_read(name), label, *options))
            else:
                items.append(convert(_read(name), label, *options))
        except InputError as error:
            _error(str(error))
            failed = True
    return None if failed else items


def main(argv=None):
    arguments = _parser().parse_args(argv)
    to_standard_output = arguments.output is None or arguments.output == STDIN
    if to_standard_output and not arguments.hex and sys.stdout is not None and _terminal(sys.stdout):
        _error(TERMINAL_REFUSAL)
        return 1
    try:
        items = _convert_all(arguments)
        if items is None:
            return 1
        data = _render(items, arguments.hex)
        if to_standard_output:
            return _write_stdout(data)
        try:
            _write_file(arguments.output, data)
        except OSError as error:
            _error("cannot write %s: %s" % (arguments.output, error.strerror or error))
            return 1
        return 0
    except KeyboardInterrupt:
        return _interrupted()


def _interrupted():
    """Ends the command quietly after Ctrl-C (an output file is left as it
    was): by the signal itself where there are signals, as a command without
    a handler ends, so that the shell reports status 130 and a script that
    runs the command stops too; by status 130 on Windows."""
    if not WINDOWS:
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGINT)
    return INTERRUPTED_STATUS


if __name__ == "__main__":
    sys.exit(main())
