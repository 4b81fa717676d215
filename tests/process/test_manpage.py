"""Every option in the program's own help texts (general, and each protocol it lists) is described
in the man page, so the two cannot drift apart."""
import os
import re
import subprocess

import pytest

from conftest import EXEC_PREFIX, WIREBOX

MAN_SOURCE = os.path.join(os.path.dirname(__file__), "../../doc/wirebox.8")
# The source with font changes and escaped dashes taken out: \fB\-B\fR, \fB\-\-baudrate reads
# -B, --baudrate.
with open(MAN_SOURCE) as f:
    MAN = re.sub(r"\\f[BIRP]", "", f.read()).replace("\\-", "-")


def run(*args):
    return subprocess.run([*EXEC_PREFIX, WIREBOX, *args], capture_output=True, text=True,
                          timeout=10)


HELPS = [["-h"]] + [[switch, proto, "-h"] for switch in ("-l", "-r")
                    for proto in re.findall(r"^   (\w+) +[A-Z]", run(switch, "list").stdout, re.M)]


@pytest.mark.parametrize("args", HELPS, ids=" ".join)
def test_help_options_are_in_man_page(args):
    out = run(*args)
    assert out.returncode == 0, out.stdout
    options = [" ".join(m) for m in re.findall(r"^ +(-\S,) (--[\w-]+)", out.stdout, re.M)]
    assert options and [o for o in options if o not in MAN] == []
