"""Installing: what lands under a prefix, the systemd unit as systemd reads it, and the Debian
package with a binary that runs from it."""
import glob
import os
import shutil
import subprocess

import pytest

from conftest import WIREBOX

BUILD = os.path.dirname(os.path.abspath(WIREBOX))
UNIT = "lib/systemd/system/wirebox@.service"


def test_install_lands_and_unit_verifies(tmp_path):
    subprocess.run(["cmake", "--install", BUILD, "--prefix", tmp_path, "--strip"], check=True)
    landed = {str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*") if p.is_file()}
    print("\n".join(sorted(landed)))
    assert {"bin/wirebox", "share/man/man8/wirebox.8", UNIT, "share/doc/wirebox/ttyUSB0.conf",
            "share/doc/wirebox/openwrt/wirebox.init"} <= landed
    if not shutil.which("systemd-analyze"):
        pytest.skip("systemd-analyze is not installed: the unit is not verified")
    # The unit names the binary just installed, so the check that it is executable holds too.
    unit = (tmp_path / UNIT).read_text()  # verified with its address allow-list switched on
    (tmp_path / UNIT).write_text(unit.replace("\n#IPAddress", "\nIPAddress"))
    out = subprocess.run(["systemd-analyze", "verify", "--man=no", tmp_path / UNIT],
                         capture_output=True, text=True, cwd=tmp_path)
    assert (out.returncode, out.stdout + out.stderr, unit.count("\n#IPAddress")) == (0, "", 2)


def test_package_runs_unpacked(tmp_path):
    subprocess.run(["cpack", "-G", "DEB", "-B", tmp_path], cwd=BUILD, check=True)
    [deb] = glob.glob(f"{tmp_path}/wirebox_*.deb")
    depends = subprocess.run(["dpkg-deb", "-f", deb, "Depends"], capture_output=True, text=True)
    assert "libc6" in depends.stdout and "libmodbus5" in depends.stdout
    subprocess.run(["dpkg-deb", "-x", deb, tmp_path / "root"], check=True)
    assert os.path.isfile(tmp_path / "root/usr" / UNIT)
    out = subprocess.run([tmp_path / "root/usr/bin/wirebox", "-h"], capture_output=True, text=True)
    assert out.returncode == 0 and out.stdout.startswith("wirebox [options]")
