"""Requests and replies through a real broker, with a real gpsd for sessions within the wait."""

import json
import os
import signal

from conftest import SANITIZED, wait_for

APPLY, ACK, UPDATE = ("v1/device/gps/enable/" + t for t in ("apply", "ack", "update"))


def ack(message, rc, value, **echo):
    reply = dict(echo, message=message, rc=rc, value=value)
    return (ACK, json.dumps(reply, sort_keys=True, separators=(",", ":")) + "\n")


ENABLED = ack("Successfully enabled GPS processing", 200, True)
DISABLED = ack("Successfully disabled GPS processing", 200, False)
NOT_JSON = ack("Payload is not a valid JSON", 400, None)
ON, OFF = (UPDATE, "1"), (UPDATE, "0")

# (payload, what navmon publishes in answer, in order)
TABLE = [
    ("{value: true}", [NOT_JSON]),
    ('{"value":"true"}', [ack("Value can only be true or false", 400, "true")]),
    ('{"value":false}', [OFF, DISABLED]), ('{"value":true}', [ON, ENABLED]),
    ('{"value":true}', [ON, ENABLED]),
    # Echoed: whole numbers within 32 unsigned bits, an object "update" (its strings are text).
    ('{"value":true,"session":4294967295,"ts":12.0,"update":{"u":"http://h/[\\"x"}}',
     [ON, ack("Successfully enabled GPS processing", 200, True, session=4294967295, ts=12,
              update={"u": 'http://h/["x'})]),
    ('{"value":true,"session":4294967296,"ts":-1,"update":[1]}', [ON, ENABLED]),
    ('{"value":true,"session":1.5,"ts":"12","update":"x"}', [ON, ENABLED]),
    # Not JSON, bare scalars, comments, array root, NUL inside, empty, deep nesting.
    ("hello", [NOT_JSON]), ("true", [NOT_JSON]), ("12", [NOT_JSON]),
    ('{"value":true /* c */}', [NOT_JSON]), ('{"value":true} // c', [NOT_JSON]),
    ('[{"value":true}]', [NOT_JSON]), ('{"va\0lue":true}', [NOT_JSON]), ("", [NOT_JSON]),
    ("[" * 200000 + "]" * 200000, [NOT_JSON]), ('{"a":' * 5000 + "1" + "}" * 5000, [NOT_JSON]),
    # Anything but white space after the request; requests over 64 KiB are refused unread.
    ('{"value":true} x', [NOT_JSON]), ('{"value":true}{"value":true}', [NOT_JSON]),
    ('{"value":true}]', [NOT_JSON]), ('{"value":true,"pad":"%s"}' % ("x" * 65536), [NOT_JSON]),
    ('{"value":true} \r\n\t', [ON, ENABLED]), ('{"value":false}', [OFF, DISABLED]),
]


def rss_kib(pid):
    return next(int(line.split()[1]) for line in open("/proc/%d/status" % pid)
                if line.startswith("VmRSS:"))


def exchange(sub, payload):  # what navmon published up to and with its reply
    seen, acks = len(sub.heard()), len(sub.heard(ACK))
    sub.publish(APPLY, payload)
    assert sub.wait(ACK, 10, after=acks), payload[:40]
    return [m[:2] for m in sub.heard()[seen:]]


def test_requests_and_replies(navmon, broker, clients, gpsd_for):
    gpsd_for("drive_short.nmea", start=True)
    navmon.env["MQTT_PORT"] = str(broker.port)
    sub = clients(broker.port, [ACK, UPDATE])
    navmon.start()
    assert navmon.wait_log("KVT GPS Daemon connected")
    for payload, answer in TABLE:
        assert exchange(sub, payload) == answer, payload[:40]

    # 1 MiB of small values: parsing would take tens of MiB (unmeasured under sanitizers).
    big = '{"value":true,"session":5,"update":{"a":[' + "0," * (1 << 19) + "0]}}"
    before = rss_kib(navmon.proc.pid)
    assert all(exchange(sub, big) == [NOT_JSON] for _ in range(3))
    assert SANITIZED or rss_kib(navmon.proc.pid) - before < 4096

    # A service connecting afterwards finds the last reply and state, both retained.
    late = clients(broker.port, [ACK, UPDATE])
    assert late.wait(ACK, 5) and late.wait(UPDATE, 5)
    assert sorted(late.heard()) == sorted([NOT_JSON + (True,), OFF + (True,)])

    # While flashing, the later of a command and a signal decides whether a session follows; an
    # enable that cannot start in time fails, but stays in force.
    marker, waiting = navmon.path("/tmp/gps-flashing"), "Waiting for GPS module update to finish"
    FAILED = ack("Failed to enabled GPS processing", 500, True)

    def flashing():  # the marker, and the daemon waiting for its removal
        open(marker, "w").close()
        assert navmon.wait_log(waiting, count=navmon.log().count(waiting) + 1, timeout=15)
    for first, then, session in (('{"value":true}', signal.SIGUSR2, False),
                                 (signal.SIGUSR1, '{"value":false}', False),
                                 ('{"value":false}', signal.SIGUSR1, True)):
        flashing()
        for step in (first, then):
            if isinstance(step, str):
                assert exchange(sub, step)[-1] == (FAILED if "true" in step else DISABLED)
            else:
                navmon.signal(step)
        seen = len(navmon.log())
        os.unlink(marker)
        assert wait_for(lambda: "Enabled:" in navmon.log()[seen:], 15)
        assert ("Enabled:1" in navmon.log()[seen:]) == session, (first, then)
    assert navmon.wait_db("GPS", "GPS_STATUS", "ACTIVE")
    # A termination signal ends the flashing wait after its current sleep at the latest.
    flashing()
    assert navmon.stop(12) == 255
