"""The command line of the built binary, compared byte for byte with the help texts in help/
(printed with puts, so one more newline ends each)."""
import os
import re
import shlex
import signal
import socket
import subprocess

import pytest

from conftest import EXEC_PREFIX, HELP, WIREBOX, free_port, help_text, wait_until

(USAGE, LOCAL_LIST, REMOTE_LIST, SERIAL_USAGE, RAW_USAGE, RFC2217_USAGE, RTU_USAGE,
 TCP_USAGE) = map(help_text, ["general", "local-list", "remote-list", "serial", "raw", "rfc2217",
                              "modbusrtu", "modbustcp"])

# Sections that the serial and raw inits accept without touching a device or the network.
LOCAL = ["-l", "serial", "/dev/null"]
REMOTE = ["-r", "raw", "127.0.0.1", "1"]
ALL = LOCAL + REMOTE


def case_ids(cases):
    return [" ".join(c[0]) or "(nothing)" for c in cases]


def run(args):
    p = subprocess.run(EXEC_PREFIX + [WIREBOX] + args, capture_output=True, timeout=10)
    return p.returncode, p.stdout.decode(), p.stderr.decode()


# First those decided before any protocol init runs.
START_CASES = [
    (["-h"], 0, USAGE), (["-?"], 1, USAGE), ([], 1, USAGE), (["-v", "-?"] + ALL, 0, USAGE),
    (["-v", "-h", "-l", "serial", "/dev/null", "-X", "-r", "raw", "-X"], 0, USAGE),
    (["--local-proto", "list", "-r", "nonsense"], 0, LOCAL_LIST), (["-l"], 0, LOCAL_LIST),
    (["-r", "list"], 0, REMOTE_LIST), (["-l", "-r", "raw"], 0, LOCAL_LIST),
    # The remote list wins before the serial init could complain about its missing tty.
    (["-l", "serial", "-r"], 0, REMOTE_LIST),
    (["-r", "raw", "-l", "Serial"], 1, 'Unknown local protocol: "Serial"\n' + LOCAL_LIST),
    (LOCAL + ["-r", "nonsense"], 1, 'Unknown remote protocol: "nonsense"\n' + REMOTE_LIST),
    (["-l", "x", "--local-proto", "y"], 1, "multiple local protocol settings are not allowed\n\n"
     + USAGE),
    (REMOTE + LOCAL + ["--remote-proto", "raw"], 1,
     "multiple remote protocol settings are not allowed\n\n" + USAGE),
    # Section switches are whole words only.
    (["--local-proto=serial"] + REMOTE, 1, USAGE), (["-lserial"] + REMOTE, 1, USAGE),
    (LOCAL, 1, USAGE), (["--he"] + REMOTE + LOCAL, 0, USAGE),
    # Then those that need the serial and raw inits to parse their sections.
    (["-l", "serial", "/dev/ttyS0", "-h", "-r", "raw", "0.0.0.0", "1"], 0, SERIAL_USAGE),
    # The local init always runs first, whatever the order on the command line.
    (["-r", "raw", "-h", "-l", "serial"], 1, SERIAL_USAGE),
    (["-r", "raw", "-h"] + LOCAL, 0, RAW_USAGE),
    # Banners the decoder refuses: a short or non-hex \x, an unknown escape, a trailing backslash.
    *[(ALL + ["-N", b], 1, RAW_USAGE) for b in [r"\x4", r"\x", r"\xg1", r"\x1g", r"\a", "abc\\"]],
    (LOCAL + ["-r", "raw", "127.0.0.1"], 1, RAW_USAGE), (ALL + ["2"], 1, RAW_USAGE),
    # Pairs that cannot work together.
    *[(["-l", local, "/dev/null", "-r", remote, "127.0.0.1", "1"], 1,
       f'Protocols "{local}" and "{remote}" cannot be used together\n' + USAGE)
      for local, remote in [("modbusrtu", "raw"), ("modbusrtu", "rfc2217"),
                            ("serial", "modbustcp")]],
    # Values the serial and modbusrtu sections refuse.
    *[(shlex.split(f"-l serial /dev/null {v} -r raw 127.0.0.1 1"), 1, SERIAL_USAGE) for v in [
        "-B 14400", "-B 0", "-P EVEN", "-F rtscts", "-D 9", "-D 4", "-I abc", "-I-5", "-A many",
        "--accum-attempts=-1", "-A 4294967296", "-T soon", "-R-1", "'--failopen-retries= -1'",
        "-R 99999999999999999999", "/dev/zero"]],
    *[(shlex.split(f"-l modbusrtu {v} -r modbustcp 127.0.0.1 1"), 1, RTU_USAGE) for v in [
        "", "/dev/null /dev/zero", "/dev/null -B 250000", "/dev/null -P Even", "/dev/null -D 9",
        "/dev/null -D 4", "/dev/null -T abc", "/dev/null --failopen-retries=x",
        "/dev/null -R 4294967296"]],
    *[(LOCAL + ["-r", "rfc2217", *section.split()], status, RFC2217_USAGE) for section, status in [
        ("h 1 -h", 0), ("h 1 -C --help", 0), ("h", 1), ("h 1 2", 1), ("h 1 -C -A maybe", 1),
        ("h 1 -C -P mark", 1), ("h 1 -C -D 9", 1), ("h 1 -C -D x", 1), ("h 1 -C -F rts", 1)]],
    (["-l", "modbusrtu", "-h", "-r", "modbustcp", "127.0.0.1", "1"], 0, RTU_USAGE),
    (["-l", "modbusrtu", "/dev/null", "-r", "modbustcp", "--help"], 0, TCP_USAGE),
    (["-l", "modbusrtu", "/dev/null", "-r", "modbustcp", "127.0.0.1"], 1, TCP_USAGE),
    (["-l", "modbusrtu", "/dev/null", "-r", "modbustcp", "127.0.0.1", "1", "2"], 1, TCP_USAGE),
    (shlex.split("-l modbusrtu /dev/null -B 230400 -P odd -S -D 7 -T 1.5 -R 3 -r modbustcp a b "
                 "-V -C"), 0, ""),
]


@pytest.mark.parametrize("args,status,out", START_CASES, ids=case_ids(START_CASES))
def test_help_lists_and_selection_errors(args, status, out):
    assert run(args) == (status, out, "")


REQUIRES = ": option requires an option argument"
REPEATED = ": option may not be repeated (in any long or short form)"
LINE = r"\[ERROR\] wirebox\[[1-9]\d*\]: "
NO_DIGITS = LINE + r"(errno: Invalid argument, )?"  # musl's strtol sets EINVAL on no digits
# Parser errors go out without a log prefix, byte for byte ({prog} is the binary's path); value
# errors are logged.
ERRORS = [
    (["-t", "-1", *ALL], "{prog}: -t" + REQUIRES),
    (["-t", "1", "--reconnect-delay=2", *ALL], "{prog}: --reconnect-delay" + REPEATED),
    (["-qq", *ALL], "{prog}: -q" + REPEATED),
    (ALL + ["-C", "-C"], "raw: -C" + REPEATED),
    (shlex.split("-l modbusrtu /dev/null -r modbustcp h 1 -V -V"), "modbustcp: -V" + REPEATED),
    (["--bogus=1", *ALL], "{prog}: --bogus: unknown option"),
    (["-vX", *ALL], "{prog}: -X: unknown option"),
    (["-vt", *ALL], "{prog}: -t" + REQUIRES),
    (["--rec", "--", *ALL], "{prog}: --rec" + REQUIRES),
    (["--d=", *ALL], "{prog}: --d: option may not take an option argument"),
    (LOCAL + ["--accum=1"] + REMOTE, "serial: --accum: abbreviated option is ambiguous"),
    (LOCAL + ["-B"] + REMOTE, "serial: -B" + REQUIRES),  # the next word is the next section's
    # A general option after a section switch belongs to that section.
    (LOCAL + ["-v"] + REMOTE, "serial: -v: unknown option"),
    # An option of the rfc2217 section's other mode is unknown.
    (LOCAL + ["-r", "rfc2217", "h", "1", "-B", "9600"], "rfc2217: -B: unknown option"),
    (LOCAL + ["-r", "rfc2217", "h", "1", "--client"], "rfc2217: --client: unknown option"),
    (["-t", "x", *ALL], NO_DIGITS + r'invalid reconnect delay: "x"'),
    (["--reconnect-delay=-1", *ALL], LINE + r'invalid reconnect delay: "-1"'),
    (["-t", "2147483648", *ALL], LINE + r'errno: [^,]+, invalid reconnect delay: "2147483648"'),
    (["--peer-timeout=", *ALL], NO_DIGITS + r'invalid peer timeout: ""'),
    (["-t", "3", "-w", "-", *ALL], NO_DIGITS + r'invalid peer timeout: "-"'),
]


@pytest.mark.parametrize("args,err", ERRORS, ids=case_ids(ERRORS))
def test_parser_and_value_errors(args, err):
    err = err if err.startswith(LINE) else re.escape(err.format(prog=WIREBOX))
    status, out, stderr = run(args)
    assert (status, out) == (1, "")
    assert re.fullmatch(err + r"\n", stderr), stderr


def test_accepted_values_reach_a_running_server(daemon, pty_pair):
    port = free_port()  # the remote section may come first
    d = daemon(["-vv", "-t", "5s", "-w", "0", *REMOTE[:3], str(port), *LOCAL[:2], pty_pair.path])
    d.wait_for(rf"listening at 127\.0\.0\.1:{port}\n")


# A listener that cannot bind makes the server return at once with status 0, after one line at
# each of INFO, DEBUG (the address in use, in glibc's or musl's words) and ERROR; the level
# names on standard error show the chosen level.
LEVEL_CASES = [([], {"ERROR"}), (["-v"], {"ERROR"}), (["-vv"], {"ERROR", "INFO"}),
               (["-v", "--verbose", "-v"], {"ERROR", "INFO", "DEBUG"}),
               (["-vvvv"], {"ERROR", "INFO", "DEBUG"}), (["-q", "-vvv"], set()), (["-s"], set())]


@pytest.mark.parametrize("general,levels", LEVEL_CASES, ids=case_ids(LEVEL_CASES))
def test_verbosity_selects_the_log_level(general, levels):
    with socket.create_server(("127.0.0.1", 0)) as taken:
        port = taken.getsockname()[1]
        status, out, err = run(general + LOCAL + ["-r", "raw", "127.0.0.1", str(port)])
    assert (status, out) == (0, "")
    assert set(re.findall(r"^\[(\w+)\] ", err, re.M)) == levels, err
    at = r"\[[1-9]\d*\]: "  # module[line]
    expected = {"INFO": rf"plaintcp{at}entering server mode, listening on: 127.0.0.1:{port}",
                "DEBUG": rf"util{at}errno: Address (already )?in use, socket setup fail",
                "ERROR": rf"plaintcp{at}(errno: [^\n]*, )?tcp bind failed"}
    for level in levels:
        assert re.search(rf"^\[{level}\] {expected[level]}$", err, re.M), err


def test_daemonize_detaches_onto_dev_null():
    port = free_port()
    args = ["-d", *LOCAL, "-r", "raw", "127.0.0.1", str(port)]
    assert run(args) == (0, "", "")

    def listening():  # only once the child has detached
        with socket.socket() as s:
            return s.connect_ex(("127.0.0.1", port)) == 0

    wait_until(listening, "the detached server")
    pid = int(subprocess.run(["pgrep", "-f", f"raw 127.0.0.1 {port}$"], capture_output=True).stdout)
    try:
        with open(f"/proc/{pid}/status") as f:
            umask = re.search(r"^Umask:\s*(\d+)$", f.read(), re.M).group(1)
        links = [os.readlink(f"/proc/{pid}/{name}") for name in ("cwd", "fd/0", "fd/1", "fd/2")]
        assert (os.getsid(pid), umask, links) == (pid, "0000", ["/"] + ["/dev/null"] * 3)
    finally:
        os.kill(pid, signal.SIGTERM)


def test_every_option_of_the_help_texts_is_in_the_man_page():
    # Font changes and escaped dashes taken out: \fB\-B\fR, \fB\-\-baudrate reads -B, --baudrate.
    with open(os.path.join(os.path.dirname(__file__), "../../doc/wirebox.8")) as f:
        man = re.sub(r"\\f[BIRP]", "", f.read()).replace("\\-", "-")
    texts = "".join(map(help_text, os.listdir(HELP)))
    options = {" ".join(m) for m in re.findall(r"^ +(-\S,) (--[\w-]+)", texts, re.M)}
    assert len(options) > 20 and {o for o in options if o not in man} == set()
