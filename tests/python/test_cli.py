"""The orvantile-cbor command, run as the installed console script and as
python -m orvantile_cbor_cli, and checked against cbor2 as a decoder."""

import errno
import io
import json
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

import cbor2
import pytest

from orvantile_cbor import __version__, dumps

REPO = Path(__file__).resolve().parents[2]
EXAMPLE = REPO / "examples" / "order.json"
INTEGER_RANGE = "is out of range: integers must lie between -2**63 and 2**64-1"
FLOAT_RANGE = "is out of range: a float's magnitude must be at most 1.7976931348623157e+308"
TERMINAL_REFUSAL = ("orvantile-cbor: binary CBOR is not written to a terminal: add --hex to see it as text, "
                    "or save it with -o FILE or a shell's >\n")


def installed_command():
    name = "orvantile-cbor.exe" if os.name == "nt" else "orvantile-cbor"
    # Debian's PyPy 3.7 names in sysconfig, inside a virtual environment, a
    # scripts folder outside it: there the command is beside the interpreter.
    for folder in (sysconfig.get_path("scripts"), os.path.dirname(sys.executable)):
        path = Path(folder) / name
        if path.is_file():
            return [str(path)]
    found = shutil.which(name)
    assert found, "the orvantile-cbor command is not installed beside %s" % sys.executable
    return [found]


UNDER_WINE = os.name == "nt" and hasattr(__import__("ctypes").WinDLL("ntdll"), "wine_get_version")

COMMANDS = [
    pytest.param(installed_command, id="script"),
    pytest.param(lambda: [sys.executable, "-m", "orvantile_cbor_cli"], id="module"),
]


@pytest.fixture(params=COMMANDS)
def command(request):
    return request.param()


@pytest.fixture
def run(command, tmp_path, run_child):
    """Runs the command in tmp_path with arguments and standard input (bytes
    or text); returns the completed process with stdout as bytes."""

    def run_command(*arguments, stdin=b""):
        if isinstance(stdin, str):
            stdin = stdin.encode("utf-8")
        for _ in range(3):
            result = run_child(command + [str(argument) for argument in arguments], input=stdin,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=str(tmp_path), timeout=60)
            # Wine now and then ends a child with status 1 before it writes
            # anything; every run made here that fails says why.
            if not (UNDER_WINE and result.returncode != 0 and result.stdout == result.stderr == b""):
                return result
        return result

    return run_command


def error_line(result):
    """The one line of standard error of a failed run."""
    assert result.returncode == 1, result
    assert result.stdout == b""
    lines = result.stderr.decode("utf-8").splitlines()
    assert len(lines) == 1, lines
    assert lines[0].startswith("orvantile-cbor: ")
    return lines[0][len("orvantile-cbor: "):]


# ---- converting --------------------------------------------------------------

def test_hex_of_standard_input(run):
    result = run("--hex", stdin='{"a": [1, 2.5]}')
    assert result.returncode == 0, result.stderr
    assert result.stdout == b"bf61619f01f94100ffff\n"
    assert result.stderr == b""


def test_binary_by_default(run, command):
    result = run(stdin='{"a": [1, 2.5]}')
    assert result.returncode == 0, result.stderr
    assert result.stdout == bytes.fromhex("bf61619f01f94100ffff")
    # Also into the null device, which Windows' isatty takes for a terminal.
    assert subprocess.run(command, input=b"1", stdout=subprocess.DEVNULL, timeout=60).returncode == 0


def test_definite(run):
    result = run("--definite", "--hex", stdin='{"a": [1, 2.5]}')
    assert result.stdout == b"a161618201f94100\n"
    result = run("--definite", stdin='{"a": [1, 2.5]}')
    assert result.stdout == bytes.fromhex("a161618201f94100")


def test_every_json_kind(run):
    document = '[null, true, false, 0, -1, 18446744073709551615, -9223372036854775808, 1.5, 1e300, "h\\u00e9", {}, []]'
    result = run("--definite", stdin=document)
    assert result.returncode == 0, result.stderr
    assert cbor2.loads(result.stdout) == [None, True, False, 0, -1, 2**64 - 1, -(2**63), 1.5, 1e300, "h\u00e9", {}, []]
    assert result.stdout == dumps(cbor2.loads(result.stdout), indefinite=False)


def test_utf16_input_and_byte_order_mark(run, tmp_path):
    (tmp_path / "utf16.json").write_bytes('{"\u00e9": 1}'.encode("utf-16"))
    (tmp_path / "bom.json").write_bytes(b"\xef\xbb\xbf[1]")
    result = run("--hex", "utf16.json", "bom.json")
    assert result.stdout == b"bf62c3a901ff\n9f01ff\n", result.stderr


def test_one_item_per_input_in_order(run, tmp_path):
    (tmp_path / "one.json").write_text("1")
    (tmp_path / "list.json").write_text("[2, 3]")
    result = run("one.json", "-", "list.json", stdin='"x"')
    assert result.returncode == 0, result.stderr
    assert result.stdout == bytes.fromhex("01" "6178" "9f0203ff")
    assert list(cbor2_sequence(result.stdout)) == [1, "x", [2, 3]]
    result = run("--hex", "one.json", "-", "list.json", stdin='"x"')
    assert result.stdout == b"01\n6178\n9f0203ff\n"


def cbor2_sequence(data):
    stream = io.BytesIO(data)
    while stream.tell() < len(data):
        yield cbor2.load(stream)


def test_example_file(run):
    result = run("--hex", EXAMPLE)
    assert result.returncode == 0, result.stderr
    item = bytes.fromhex(result.stdout.decode("ascii").strip())
    with open(str(EXAMPLE), "rb") as stream:
        assert cbor2.loads(item) == json.load(stream)


@pytest.mark.parametrize("depth, document, expected", [
    ("2", "[[1]]", b"9f9f01ffff\n"),
    ("0", "[[[[1]]]]", b"9f9f9f9f01ffffffff\n"),
    (str(2**64 - 1), "[[[[1]]]]", b"9f9f9f9f01ffffffff\n"),
])
def test_max_depth_allows_what_it_bounds(run, depth, document, expected):
    result = run("--max-depth", depth, "--hex", stdin=document)
    assert result.stdout == expected, result.stderr


def test_output_file(run, tmp_path):
    result = run("-o", "out.cbor", stdin='{"a": [1, 2.5]}')
    assert result.returncode == 0, result.stderr
    assert result.stdout == b"" and result.stderr == b""
    assert (tmp_path / "out.cbor").read_bytes() == bytes.fromhex("bf61619f01f94100ffff")
    result = run("--output", "out.hex", "--hex", "--definite", stdin="[1]")
    assert (tmp_path / "out.hex").read_bytes() == b"8101\n"
    assert sorted(path.name for path in tmp_path.iterdir()) == ["out.cbor", "out.hex"]


ROOT = os.name == "posix" and os.geteuid() == 0


@pytest.mark.skipif(os.name != "posix", reason="file modes and owners are POSIX")
@pytest.mark.parametrize("mode, owner", [
    (0o640, None),
    (0o3750, None),
    pytest.param(0o664, (65534, 65534), marks=pytest.mark.skipif(not ROOT, reason="giving a file away needs root")),
], ids=["mode", "setgid-sticky", "owner"])
def test_output_file_keeps_the_mode_of_the_file_it_replaces(run, tmp_path, mode, owner):
    target = tmp_path / "out.cbor"
    target.write_bytes(b"old")
    if owner:
        os.chown(str(target), *owner)
    try:
        target.chmod(mode)
    except OSError as error:  # macOS lets only root set the sticky bit of a file
        pytest.skip("mode %o refused: %s" % (mode, error))
    assert run("-o", target, stdin="1").returncode == 0
    assert target.read_bytes() == b"\x01"
    assert stat.S_IMODE(target.stat().st_mode) == mode
    if owner:
        assert (target.stat().st_uid, target.stat().st_gid) == owner


@pytest.mark.skipif(os.name != "posix", reason="file modes are POSIX")
def test_new_output_file_gets_the_usual_mode(run, tmp_path):
    umask = os.umask(0o022)
    try:
        assert run("-o", "new.cbor", stdin="1").returncode == 0
    finally:
        os.umask(umask)
    assert stat.S_IMODE((tmp_path / "new.cbor").stat().st_mode) == 0o644


POSIX_ONLY = pytest.mark.skipif(os.name != "posix", reason="POSIX's named pipes, sockets, links and paths")


@pytest.mark.parametrize("kind", ["device"] + [pytest.param(kind, marks=POSIX_ONLY) for kind in (
    "named pipe", "link", "socket", "long name", "standard output", "descriptor")])
def test_output_targets(command, run, tmp_path, monkeypatch, kind):
    """-o writes into a device or a named pipe as a shell's > does, replaces
    the file a link points to, refuses a socket, takes any name the folder
    takes, and writes into an open descriptor after what it holds."""
    target = tmp_path / "out"
    if kind == "device":
        # Root gets a null device of its own: the command once replaced the
        # node it was given.
        if os.name == "posix" and os.geteuid() == 0:
            try:
                os.mknod(str(target), stat.S_IFCHR | 0o666, os.makedev(1, 3))
                os.close(os.open(str(target), os.O_WRONLY))
            except PermissionError:
                pytest.skip("no working device node can be made in %s" % tmp_path)
        else:
            target = Path(os.devnull)
        assert run("-o", target, stdin="[1]").returncode == 0
        assert os.name != "posix" or stat.S_ISCHR(os.lstat(str(target)).st_mode)
    elif kind == "named pipe":
        os.mkfifo(str(target))
        reader = os.open(str(target), os.O_RDONLY | os.O_NONBLOCK)
        try:
            assert run("-o", target, stdin="[1]").returncode == 0
            assert os.read(reader, 100) == bytes.fromhex("9f01ff")
        finally:
            os.close(reader)
        assert stat.S_ISFIFO(os.lstat(str(target)).st_mode)
    elif kind == "link":
        (tmp_path / "folder").mkdir()
        real = tmp_path / "folder" / "real.cbor"
        real.write_bytes(b"old")
        real.chmod(0o640)
        target.symlink_to(Path("folder") / "real.cbor")
        assert run("-o", target, stdin="[1]").returncode == 0
        assert target.is_symlink()
        assert os.readlink(str(target)) == str(Path("folder") / "real.cbor")
        assert real.read_bytes() == bytes.fromhex("9f01ff")
        assert stat.S_IMODE(real.stat().st_mode) == 0o640
        assert [path.name for path in real.parent.iterdir()] == ["real.cbor"]
    elif kind == "socket":
        # Bound by a relative name: the folder's path can be longer than a
        # socket's path may be (104 bytes on macOS).
        monkeypatch.chdir(str(tmp_path))
        with socket.socket(socket.AF_UNIX) as server:
            server.bind(target.name)
            assert error_line(run("-o", target, stdin="[1]")) == "cannot write %s: Is a socket" % target
        assert stat.S_ISSOCK(os.lstat(str(target)).st_mode)
    elif kind == "long name":
        target = tmp_path / ("n" * os.pathconf(str(tmp_path), "PC_NAME_MAX"))
        assert run("-o", target.name, stdin="[1]").returncode == 0
        assert target.read_bytes() == bytes.fromhex("9f01ff")
    else:
        # As "( orvantile-cbor -o /dev/stdout; echo done ) > log" does.
        log = tmp_path / "log"
        with open(str(log), "wb", buffering=0) as stream:
            name = "/dev/stdout" if kind == "standard output" else "/dev/fd/%d" % stream.fileno()
            result = subprocess.run(command + ["-o", name], input=b"[1]", stdout=stream, stderr=subprocess.PIPE,
                                    pass_fds=[stream.fileno()], cwd=str(tmp_path), timeout=60)
            stream.write(b"done\n")
        assert (result.returncode, result.stderr) == (0, b"")
        assert log.read_bytes() == bytes.fromhex("9f01ff") + b"done\n"
    assert sorted(path.name for path in tmp_path.iterdir() if path.name.startswith(".")) == []


@pytest.mark.skipif(os.name == "nt", reason="the names are devices here; elsewhere they name files")
@pytest.mark.parametrize("name, device", [
    ("NUL", True), ("nul.txt", True), ("sub\\Com1 ", True), ("LPT9:", True), ("\\\\.\\pipe\\x", True),
    ("NULL.cbor", False), ("\\\\?\\C:\\out.cbor", False),
])
def test_windows_device_names(monkeypatch, tmp_path, name, device):
    """On Windows a device's name, in any folder, is written directly; other
    names get a temporary file renamed over them (made in the command's own
    process, where on Linux either way leaves a file of that name)."""
    import orvantile_cbor_cli

    made = []
    mkstemp = tempfile.mkstemp
    monkeypatch.setattr(tempfile, "mkstemp", lambda **options: made.append(options) or mkstemp(**options))
    monkeypatch.setattr(orvantile_cbor_cli, "WINDOWS", True)
    monkeypatch.chdir(str(tmp_path))
    (tmp_path / "in.json").write_text("1")
    assert orvantile_cbor_cli.main(["-o", name, "in.json"]) == 0
    assert (tmp_path / name).read_bytes() == b"\x01"
    assert bool(made) != device


@pytest.mark.parametrize("refusal", [
    "read-only",
    pytest.param("owner", marks=pytest.mark.skipif(not ROOT, reason="giving a file away needs root")),
])
def test_output_file_that_cannot_be_replaced(monkeypatch, capsys, tmp_path, refusal):
    """As Windows does with a read-only file: the rename onto it is refused,
    and so is the deletion of a read-only temporary file. As a file system
    does where the process may not give the file's owner and group to the
    new file: the file is kept rather than given away. The folder is left as
    it was."""
    import orvantile_cbor_cli

    source, target = tmp_path / "in.json", tmp_path / "out.cbor"
    source.write_text("[1]")
    target.write_bytes(b"kept")
    if refusal == "read-only":
        def refuse_read_only(path):
            if not os.stat(path).st_mode & stat.S_IWRITE:
                raise PermissionError(errno.EACCES, "Access is denied")

        replace, unlink = os.replace, os.unlink
        monkeypatch.setattr(os, "replace", lambda source, target: refuse_read_only(target) or replace(source, target))
        monkeypatch.setattr(os, "unlink", lambda path: refuse_read_only(path) or unlink(path))
        target.chmod(0o444)
        message = "Access is denied"
    else:
        import grp
        import pwd

        nobody = pwd.getpwnam("nobody")
        os.chown(str(target), nobody.pw_uid, nobody.pw_gid)
        owner = "nobody:" + grp.getgrgid(nobody.pw_gid).gr_name

        def refuse(*arguments):
            raise PermissionError(errno.EPERM, "Operation not permitted")

        monkeypatch.setattr(os, "chown", refuse)
        message = ("cannot keep its owner and group %s: Operation not permitted; %s is left as it was "
                   "(a shell's > writes into it in place)" % (owner, target))
    assert orvantile_cbor_cli.main(["-o", str(target), str(source)]) == 1
    assert capsys.readouterr() == ("", "orvantile-cbor: cannot write %s: %s\n" % (target, message))
    assert target.read_bytes() == b"kept"
    assert sorted(path.name for path in tmp_path.iterdir()) == ["in.json", "out.cbor"]


def test_output_dash_is_standard_output(run, tmp_path):
    result = run("-o", "-", stdin='{"a": [1, 2.5]}')
    assert result.returncode == 0, result.stderr
    assert result.stdout == bytes.fromhex("bf61619f01f94100ffff")
    assert run("--hex", "--output", "-", stdin="[1]").stdout == b"9f01ff\n"
    assert list(tmp_path.iterdir()) == []


def test_standard_output_closed_before_the_write(command, tmp_path):
    reader, writer = os.pipe()
    os.close(reader)
    try:
        result = subprocess.run(command + ["--hex"], input=b"[1]", stdout=writer, stderr=subprocess.PIPE,
                                cwd=str(tmp_path), timeout=60)
    finally:
        os.close(writer)
    assert (result.returncode, result.stderr) == (1, b"")


@pytest.mark.skipif(os.name != "posix", reason="closing a child's standard handles as <&- and >&- do, and terminals")
@pytest.mark.parametrize("arguments, closed, terminal, status, message", [
    ([], [0], False, 1, "orvantile-cbor: cannot read standard input: it is closed\n"),
    (["in.json"], [1], False, 1, "orvantile-cbor: cannot write to standard output: it is closed\n"),
    (["--help"], [1, 2], False, 0, ""),
    (["in.json"], [], True, 1, TERMINAL_REFUSAL),
    (["--hex", "in.json"], [], True, 0, ""),
    (["-o", "out.cbor", "in.json"], [], True, 0, ""),
], ids=["stdin", "stdout", "help", "terminal", "terminal-hex", "terminal-output-file"])
def test_standard_streams_closed(command, tmp_path, arguments, closed, terminal, status, message):
    (tmp_path / "in.json").write_text("[1]")
    controller, stdout = os.openpty() if terminal else (None, subprocess.DEVNULL)
    result = subprocess.run(command + arguments, stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.PIPE,
                            cwd=str(tmp_path), timeout=60, preexec_fn=lambda: [os.close(handle) for handle in closed])
    if terminal:
        os.close(controller)
        os.close(stdout)
    assert (result.returncode, result.stderr.decode("utf-8")) == (status, message)


@pytest.mark.skipif(os.name != "posix", reason="named pipes and signals")
def test_interrupted_while_reading(command, tmp_path):
    """Ctrl-C while the command waits for its input ends it quietly, by the
    signal (a shell reports status 130), leaving the output file alone. The
    command starts with Ctrl-C's default, as from a terminal's shell: a test
    run started in the background of a script inherits it ignored."""
    fifo = tmp_path / "in.json"
    os.mkfifo(str(fifo))
    process = subprocess.Popen(command + ["-o", "out.cbor", fifo.name], stderr=subprocess.PIPE, cwd=str(tmp_path),
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    while True:  # until the command has opened its input: it is reading it, or about to
        try:
            writer = os.open(str(fifo), os.O_WRONLY | os.O_NONBLOCK)
            break
        except OSError as error:
            assert error.errno == errno.ENXIO and process.poll() is None
    _wait_until_asleep(process)
    try:
        process.send_signal(signal.SIGINT)
        _, error = process.communicate(timeout=60)
    finally:
        os.close(writer)
    assert (process.returncode, error) == (-signal.SIGINT, b"")
    assert sorted(path.name for path in tmp_path.iterdir()) == ["in.json"]


def _wait_until_asleep(process):
    """Until the command sleeps in its read of the input. Python runs a signal's
    handler between calls: Ctrl-C that lands just after its open of the input
    returns and before its read starts is noticed only once the read returns,
    as with any Python program. Linux tells the state in /proc; elsewhere half
    a second stands for it."""
    status = "/proc/%d/stat" % process.pid
    if not os.path.exists(status):
        time.sleep(0.5)
        return
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        with open(status) as stream:
            if stream.read().rsplit(")", 1)[1].split()[0] == "S":
                return
        time.sleep(0.001)


def test_reader_that_stops_early(command, tmp_path):
    """As with "| head": more output than the pipe holds, and the reader goes
    away after the first byte, in the middle of the write."""
    (tmp_path / "long.json").write_text(json.dumps(["x" * 1000] * 1000))
    process = subprocess.Popen(command + ["long.json"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               cwd=str(tmp_path))
    assert process.stdout.read(1) == b"\x9f"
    process.stdout.close()
    assert process.wait(timeout=60) == 1
    assert process.stderr.read() == b""
    process.stderr.close()


@pytest.mark.parametrize("error, on_windows, message", [
    (BrokenPipeError(errno.EPIPE, "Broken pipe"), False, ""),
    (OSError(errno.EINVAL, "Invalid argument"), True, ""),
    (OSError(errno.EINVAL, "Invalid argument"), False, "orvantile-cbor: cannot write to standard output: Invalid argument\n"),
    (OSError(errno.ENOSPC, "No space left on device"), True,
     "orvantile-cbor: cannot write to standard output: No space left on device\n"),
])
def test_failed_write_to_standard_output(monkeypatch, capsys, tmp_path, error, on_windows, message):
    """The write's error as each platform reports a reader that went away
    (Windows: EINVAL), and a real failure, made in the command's own process."""
    import orvantile_cbor_cli

    class FailingBuffer:
        def write(self, data):
            raise error

        def flush(self):
            pass

    with open(tmp_path / "stdout", "wb") as target:
        monkeypatch.setattr(orvantile_cbor_cli, "WINDOWS", on_windows)
        monkeypatch.setattr(sys, "stdout", type("Stdout", (), {"buffer": FailingBuffer(), "fileno": target.fileno})())
        assert orvantile_cbor_cli.main(["--hex", str(EXAMPLE)]) == 1
    assert capsys.readouterr().err == message


def test_help(run):
    result = run("--help")
    assert result.returncode == 0
    text = result.stdout.decode("utf-8")
    assert text.startswith("usage: orvantile-cbor ")
    # Python 3.13 shows "-o, --output FILE", older ones "-o FILE, --output FILE".
    for option in ("--definite", "--max-depth N", "--hex", "--output FILE", "-o", "--help", "FILE"):
        assert option in text


def package_version():
    project = (REPO / "pyproject.toml").read_text(encoding="utf-8").split("[project]\n", 1)[1].split("\n[", 1)[0]
    return re.search(r'^version = "([^"]+)"$', project, re.M).group(1)


def test_version(run):
    result = run("--version")
    assert result.returncode == 0
    assert result.stdout.decode("utf-8").strip() == "orvantile-cbor " + package_version()
    assert __version__ == package_version()


# ---- bad input -------------------------------------------------------------

def json_error(document):
    """Line, column and message of this interpreter's json module for a bad
    document (the wording differs between CPython versions and PyPy)."""
    with pytest.raises(json.JSONDecodeError) as caught:
        json.loads(document)
    return "%d:%d: invalid JSON: %s" % (caught.value.lineno, caught.value.colno, caught.value.msg)


def test_invalid_json_names_line_and_column(run):
    line = error_line(run(stdin='{"a": 1,\n "b" 2}'))
    assert line.startswith("<stdin>:2:6: invalid JSON: ")
    assert line == "<stdin>:" + json_error('{"a": 1,\n "b" 2}')


@pytest.mark.parametrize("document", ['{"a": [1,, 2.5]}', "", "[1] [2]", '["open', "[1", "[1,]", "{\"a\"}"])
def test_invalid_json(run, document):
    assert error_line(run(stdin=document)) == "<stdin>:" + json_error(document)


def test_invalid_json_in_a_file_names_the_file(run, tmp_path):
    document = '{\n  "a": [1, 2,]\n}\n'
    (tmp_path / "bad.json").write_text(document)
    line = error_line(run("bad.json"))
    assert line.startswith("bad.json:2:1")
    assert line == "bad.json:" + json_error(document)


@pytest.mark.parametrize("lines, expected", [
    ('1\n\n \t\r\n{"a": [2.5]}\r\n"\u2028"', ["01", "bf61619ff94100ffff", "63e280a8"]),
    ("", []),
    ("1\n[2,]\n[1,]\n", "<stdin>:2:" + json_error("[2,]").split(":", 1)[1]),
    ("1\n[18446744073709551616]", "<stdin>:2:2: integer 18446744073709551616 " + INTEGER_RANGE),
], ids=["blank-lines-skipped", "empty", "invalid", "out-of-range"])
def test_json_lines(run, lines, expected):
    """An item for each line with more than whitespace; errors name the line."""
    if isinstance(expected, str):
        assert error_line(run("--json-lines", stdin=lines)) == expected
        return
    result = run("--json-lines", "--hex", stdin=lines)
    assert result.stdout.decode("ascii").splitlines() == expected, result.stderr
    result = run("--json-lines", stdin=lines)
    assert result.returncode == 0, result.stderr
    assert result.stdout == b"".join(bytes.fromhex(item) for item in expected)


def test_text_that_is_not_unicode(run):
    line = error_line(run(stdin=b'"\xff\xfe\xfd"'))
    assert line.startswith("<stdin>: not UTF-8, UTF-16 or UTF-32 text: ")


def test_json_nested_too_deeply_to_read(run):
    assert error_line(run(stdin="[" * 200000 + "]" * 200000)) == "<stdin>: JSON nested too deeply to read"


@pytest.mark.parametrize("document, message", [
    ("[1, %d]" % 2**64, "1:5: integer 18446744073709551616 " + INTEGER_RANGE),
    ("[1, %d]" % (-(2**63) - 1), "1:5: integer -9223372036854775809 " + INTEGER_RANGE),
    ("[1, %d]" % 10**50, "1:5: integer 1000000000000000...0000000000000000 (51 digits) " + INTEGER_RANGE),
    ("[1, 1%s]" % ("0" * 5000), "1:5: integer 1000000000000000...0000000000000000 (5001 digits) " + INTEGER_RANGE),
    ('[1.5, "1e400\\"", 1e400,\n -1e400]', "1:18: number 1e400 " + FLOAT_RANGE),
    ('{"a":\n -%s.5}' % ("9" * 309), "2:2: number -999999999999999...99999999999999.5 (310 digits) " + FLOAT_RANGE),
], ids=["2**64", "-2**63-1", "10**50", "more-digits-than-the-interpreter-reads", "1e400", "-10**309"])
def test_number_out_of_range(run, document, message):
    """Refused where it stands, whole or cut in the middle, with the range."""
    assert error_line(run(stdin=document)) == "<stdin>:" + message


def test_nesting_deeper_than_max_depth(run):
    assert error_line(run("--max-depth", "1", stdin="[[1]]")) == "<stdin>: nested deeper than --max-depth 1 allows"
    assert error_line(run("--max-depth", "3", stdin='{"a": [[{"b": 1}]]}')) == (
        "<stdin>: nested deeper than --max-depth 3 allows")


def test_unpaired_surrogate_escape(run):
    assert error_line(run(stdin='["\\ud800"]')) == (
        "<stdin>: a string holds an unpaired surrogate escape, which has no UTF-8 form")


@pytest.mark.parametrize("function, error, message", [
    ("orvantile_cbor.dumps", RecursionError, "nested too deeply to encode"),
    ("orvantile_cbor.dumps", MemoryError, "out of memory while encoding"),
    ("json.loads", MemoryError, "out of memory while reading the JSON"),
])
def test_running_out_of_recursion_or_memory(monkeypatch, capsys, tmp_path, function, error, message):
    """What dumps or the JSON reader raise when the interpreter runs out of
    recursion or memory, made to happen in the command's own process."""
    import orvantile_cbor_cli

    def fail(*arguments, **options):
        raise error

    module, name = function.split(".")
    monkeypatch.setattr(getattr(orvantile_cbor_cli, module), name, fail)
    source, target = tmp_path / "in.json", tmp_path / "out.cbor"
    source.write_text("[1]")
    target.write_bytes(b"kept")
    assert orvantile_cbor_cli.main(["-o", str(target), str(source)]) == 1
    assert capsys.readouterr() == ("", "orvantile-cbor: %s: %s\n" % (source, message))
    assert target.read_bytes() == b"kept"


def test_missing_input_file(run):
    assert error_line(run("missing.json")) == "cannot read missing.json: No such file or directory"


def test_every_bad_input_is_reported_and_nothing_is_written(run, tmp_path):
    (tmp_path / "good.json").write_text("[1]")
    (tmp_path / "bad.json").write_text("[1")
    result = run("--hex", "good.json", "bad.json", "missing.json", "good.json")
    assert result.returncode == 1
    assert result.stdout == b""
    assert result.stderr.decode("utf-8").splitlines() == [
        "orvantile-cbor: bad.json:" + json_error("[1"),
        "orvantile-cbor: cannot read missing.json: No such file or directory",
    ]


@pytest.mark.parametrize("document", ["[1", "[18446744073709551616]", "[[[1]]]"])
def test_no_partial_output_file(run, tmp_path, document):
    (tmp_path / "good.json").write_text("[1]")
    result = run("-o", "out.cbor", "--max-depth", "2", "good.json", "-", stdin=document)
    assert result.returncode == 1
    assert sorted(path.name for path in tmp_path.iterdir()) == ["good.json"]


def test_failed_run_leaves_an_existing_output_file_alone(run, tmp_path):
    (tmp_path / "out.cbor").write_bytes(b"kept")
    assert run("-o", "out.cbor", stdin="[1,]").returncode == 1
    assert (tmp_path / "out.cbor").read_bytes() == b"kept"
    assert sorted(path.name for path in tmp_path.iterdir()) == ["out.cbor"]


def test_output_into_a_missing_folder(run, tmp_path):
    line = error_line(run("-o", Path("no") / "such" / "out.cbor", stdin="1"))
    assert line == "cannot write %s: No such file or directory" % (Path("no") / "such" / "out.cbor")
    assert list(tmp_path.iterdir()) == []


def test_output_onto_a_folder(run, tmp_path):
    (tmp_path / "folder").mkdir()
    line = error_line(run("-o", "folder", stdin="1"))
    assert line.startswith("cannot write folder: ")
    assert [path.name for path in tmp_path.iterdir()] == ["folder"]
    assert list((tmp_path / "folder").iterdir()) == []


@pytest.mark.parametrize("value", ["-1", "x", "1.5", "", str(2**64), "1" * 5000])
def test_max_depth_must_be_a_whole_number(run, value):
    result = run("--max-depth", value, stdin="1")
    assert result.returncode == 2
    assert result.stdout == b""
    assert "argument --max-depth: expected a whole number of 0 or more, up to 2**64-1" in result.stderr.decode("utf-8")


def test_unknown_option(run):
    result = run("--indefinite", stdin="1")
    assert result.returncode == 2
    assert "unrecognized arguments: --indefinite" in result.stderr.decode("utf-8")
