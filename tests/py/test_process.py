"""navmon as a process: command line, start-up, signals, the LED, bad configuration and broker."""

import os
import re
import signal
import subprocess

import pytest

from conftest import SOURCE_DIR, Broker, program, sysdb, wait_for, write

USAGE = ("Usage: navmon [Options]\nOptions:\n -l, --logfile=LOGFILE\tLog data to LOGFILE\n"
         " -v, --verbose\t\tPrint debug information\n -h, --help\t\tThis help\n")
VERSION = re.search(r"project\(navmon VERSION (\S+)",
                    open(os.path.join(SOURCE_DIR, "CMakeLists.txt")).read())[1]
PIDFILE = "%s/var/run/navmon.pid"
SESSION_KEYS = ("GPS_VALID", "GPS_ISO8601", "GPS_NMEA_PGPS", "GPS_FW_VER")


# The usage text (in stdout) for help and bad command lines; exactly the project's version.
@pytest.mark.parametrize("args,status", [(["-h"], 0), (["--help"], 0), (["-x"], 2),
                                         (["--bogus"], 2), (["-l"], 2), (["-v", "-q"], 2),
                                         (["--version"], 0), (["sysdb", "--version"], 0)])
def test_command_line_exit_status_and_output(navmon, args, status):
    name, args = (args[0], args[1:]) if args[0] == "sysdb" else ("navmon", args)
    r = subprocess.run(program(name) + args, env=dict(os.environ, **navmon.env),
                       capture_output=True, text=True, timeout=30)
    assert r.returncode == status
    assert r.stdout == "%s %s\n" % (name, VERSION) if args == ["--version"] else USAGE in r.stdout
    assert not os.path.exists(PIDFILE % navmon.root)


def systemctl_called(navmon, call):
    calls = navmon.path("/systemctl.calls")
    return wait_for(lambda: os.path.exists(calls) and call in open(calls).read())


def test_start_up_records_sessions_by_signal_and_orderly_stop(navmon):
    for key in SESSION_KEYS + ("GPS_STATUS",):
        assert sysdb(navmon.db_path, "set", "GPS", key, "stale").returncode == 0
    proc = navmon.start()
    assert navmon.wait_db("GPS", "GPS_STATUS", "INACTIVE") and navmon.wait_log("Enabled:0")
    assert all(navmon.db("GPS", k) is None for k in SESSION_KEYS)
    assert open(PIDFILE % navmon.root).read() == "%d\n" % proc.pid
    assert "deadreckoning enabled: 1" in navmon.log()

    # SIGUSR1 starts a session; with gpsd down the loop asks systemd to start it.
    navmon.signal(signal.SIGUSR1)
    assert navmon.wait_db("GPS", "GPS_STATUS", "ACTIVE") and navmon.wait_log("Restarting gpsd!")
    assert systemctl_called(navmon, "start gpsd")

    navmon.signal(signal.SIGUSR2)
    assert navmon.wait_log("Parsing loop exited (need_to_quit=0 svc_req=0)", 15)
    assert navmon.wait_db("GPS", "GPS_STATUS", "INACTIVE") and systemctl_called(navmon, "stop gpsd")
    assert navmon.stop() == 255 and not os.path.exists(PIDFILE % navmon.root)
    assert "navmon exited" in navmon.log()


@pytest.mark.parametrize("module", ["GNSS-DR", "NONE"])
def test_led_follows_module_configuration_and_session(navmon, module):
    navmon.config["hardware"]["wireless"]["gps"]["module"] = module
    navmon.start()
    assert navmon.wait_log("Session ended") and navmon.led() == "0"  # off at start-up either way
    write(navmon.led_path("brightness"), "42\n")
    if module == "NONE":  # a device without a GPS module: idle passes leave the LED alone
        assert navmon.wait_log("Session ended", count=3) and navmon.led() == "42"
        return
    # Each idle pass switches it off again, with no cache.
    assert wait_for(lambda: navmon.led() == "0", 3)
    navmon.signal(signal.SIGUSR1)
    assert wait_for(lambda: navmon.led("trigger") == "timer")  # a session without a fix blinks


def test_survives_bad_configuration_and_unusable_database(navmon):
    navmon.config_text = "{ this is not json"
    navmon.env["SYSDB_PATH"] = "/proc/navmon-no-such-dir/sysdb.sqlite"
    navmon.start()
    assert navmon.wait_log("Could not get GPS Module from hardware config")
    navmon.signal(signal.SIGUSR1)
    assert navmon.wait_log("Restarting gpsd!") and navmon.stop() == 255


def test_broker_absent_at_start_is_reached_once_it_appears(navmon, workdir, clients, request):
    broker = Broker(workdir)
    request.addfinalizer(broker.stop)
    navmon.env["MQTT_PORT"] = str(broker.port)
    navmon.start()
    assert navmon.wait_log("Session ended") and "KVT GPS Daemon connected" not in navmon.log()
    broker.start()
    assert navmon.wait_log("KVT GPS Daemon connected", 40)
    sub = clients(broker.port, ["v1/device/gps/enable/ack"])
    sub.publish("v1/device/gps/enable/apply", '{"value":false}')
    assert sub.wait("v1/device/gps/enable/ack", 10) and navmon.stop() == 255
