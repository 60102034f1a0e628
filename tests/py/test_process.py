"""navmon as a process: command line, start-up records, sessions by signal, flashing wait, LED,
service manager notifications, and survival of bad configuration and storage."""

import os
import signal
import socket
import subprocess

import pytest

from conftest import program, wait_for

USAGE = ("Usage: navmon [Options]\nOptions:\n -l, --logfile=LOGFILE\tLog data to LOGFILE\n"
         " -v, --verbose\t\tPrint debug information\n -h, --help\t\tThis help\n")
SESSION_KEYS = ("GPS_VALID", "GPS_ISO8601", "GPS_NMEA_PGPS", "GPS_FW_VER")


@pytest.mark.parametrize("args,status", [(["-h"], 0), (["--help"], 0), (["-x"], 2),
                                         (["--bogus"], 2), (["-l"], 2), (["-v", "-q"], 2)])
def test_command_line_usage_and_exit_status(navmon, args, status):
    r = subprocess.run(program("navmon") + args, env=dict(os.environ, **navmon.env),
                       capture_output=True, text=True, timeout=30)
    assert r.returncode == status
    assert USAGE in r.stdout
    assert not os.path.exists(navmon.path("/var/run/navmon.pid"))


def systemctl_called(navmon, call, timeout=5.0):
    def seen():
        try:
            with open(navmon.path("/systemctl.calls")) as f:
                return call in f.read()
        except OSError:
            return False
    return wait_for(seen, timeout)


def test_start_up_records_sessions_by_signal_and_orderly_stop(navmon):
    for key in SESSION_KEYS:
        navmon.sysdb("set", "GPS", key, "stale")
    navmon.sysdb("set", "GPS", "GPS_STATUS", "ACTIVE")
    proc = navmon.start()
    assert navmon.wait_db("GPS", "GPS_STATUS", "INACTIVE")
    assert navmon.wait_log("Enabled:0")
    assert all(navmon.db("GPS", k) is None for k in SESSION_KEYS)
    with open(navmon.path("/var/run/navmon.pid")) as f:
        assert f.read() == "%d\n" % proc.pid
    assert "deadreckoning enabled: 1" in navmon.log()

    # SIGUSR1 starts a session; with gpsd down the loop asks systemd to start it.
    navmon.signal(signal.SIGUSR1)
    assert navmon.wait_db("GPS", "GPS_STATUS", "ACTIVE")
    assert navmon.wait_log("Restarting gpsd!")
    assert systemctl_called(navmon, "start gpsd")

    # SIGUSR2 ends it: records back to inactive, gpsd stopped.
    navmon.signal(signal.SIGUSR2)
    assert navmon.wait_log("Parsing loop exited (need_to_quit=0 svc_req=0)", 15)
    assert navmon.wait_db("GPS", "GPS_STATUS", "INACTIVE")
    assert systemctl_called(navmon, "stop gpsd")

    assert navmon.stop() == 255
    assert not os.path.exists(navmon.path("/var/run/navmon.pid"))
    assert "navmon exited" in navmon.log()
