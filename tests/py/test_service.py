"""navmon as the service manager runs it: readiness and the one-line status it reports on the
notification socket, through a whole session against a real gpsd and broker."""

import os
import re
import signal
import socket

from conftest import wait_for

FIX = re.compile(r"^([23]D fix), (\d+)/(\d+) satellites, HDOP \d+\.\d, SQI (\d+)$")


class NotifySocket:
    """The datagram socket a service manager gives in NOTIFY_SOCKET; keeps every line sent."""

    def __init__(self, path):
        self.path = path
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.sock.setblocking(False)
        self.lines = []

    def received(self):
        try:
            while True:
                self.lines += self.sock.recv(4096).decode().split("\n")
        except BlockingIOError:
            return self.lines

    def statuses(self):
        return [l[len("STATUS="):] for l in self.received() if l.startswith("STATUS=")]

    def wait_status(self, want, timeout=10.0):
        """The latest status, once it is want (or want(status) holds)."""
        test = want if callable(want) else (lambda s: s == want)

        def latest():
            seen = self.statuses()
            return seen[-1] if seen and test(seen[-1]) else None
        return wait_for(latest, timeout, 0.05)


def test_status_follows_the_session(navmon, broker, clients, gpsd_for):
    gpsd_for("drive_short.nmea", start_epoch=20)
    navmon.env["MQTT_PORT"] = str(broker.port)
    notify = NotifySocket(os.path.join(navmon.root, "notify.sock"))
    mqtt = clients(broker.port, ["v1/device/gps/enable/ack"])
    navmon.start(env={"NOTIFY_SOCKET": notify.path})
    assert notify.wait_status("idle: GPS processing off")
    assert "READY=1" in notify.received()
    assert navmon.wait_log("KVT GPS Daemon connected")

    mqtt.publish("v1/device/gps/enable/apply", '{"value":true}')
    assert notify.wait_status("no fix")
    fix = FIX.match(notify.wait_status(FIX.match, 40) or "")
    assert fix and int(fix.group(2)) <= int(fix.group(3)) and int(fix.group(4)) <= 100

    # The flashing marker ends the session and holds the daemon until it is gone.
    marker = navmon.path("/tmp/gps-flashing")
    open(marker, "w").close()
    assert notify.wait_status("waiting: module firmware update", 15)
    os.unlink(marker)
    navmon.signal(signal.SIGCONT)  # cuts the wait's sleep short
    mqtt.publish("v1/device/gps/enable/apply", '{"value":false}')
    assert mqtt.wait("v1/device/gps/enable/ack", 10, after=1)
    assert notify.wait_status("idle: GPS processing off", 20)
    assert navmon.stop() == 255

    # Each change is sent once: no status repeats the one before it.
    seen = notify.statuses()
    assert all(a != b for a, b in zip(seen, seen[1:])), seen
    assert seen[:2] == ["idle: GPS processing off", "no fix"], seen
