"""Enable requests as another client of the device's broker sends them: oversized and trailing
payloads are refused before anything acts on them."""

import json

import pytest

APPLY, ACK = "v1/device/gps/enable/apply", "v1/device/gps/enable/ack"
NOT_JSON = {"message": "Payload is not a valid JSON", "rc": 400, "value": None}


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


@pytest.fixture
def service(navmon, broker, clients):
    navmon.env["MQTT_PORT"] = str(broker.port)
    sub = clients(broker.port, [ACK])
    navmon.start()
    assert navmon.wait_log("KVT GPS Daemon connected")

    def ask(payload):
        after = len(sub.heard(ACK))
        sub.publish(APPLY, payload)
        reply = sub.wait(ACK, 10, after=after)
        assert reply, payload[:60]
        return json.loads(reply[1])
    return navmon, ask


def test_oversized_request_is_refused_unread(service):
    navmon, ask = service
    ask("{}")  # the messaging thread's buffers are in place before the first reading
    before = rss_kib(navmon.proc.pid)
    # 1 MiB of small values: parsing it would take tens of MiB, acting on it would enable GPS.
    big = '{"value":true,"session":5,"update":{"a":[' + "0," * (1 << 19) + "0]}}"
    for _ in range(3):
        assert ask(big) == NOT_JSON
    assert rss_kib(navmon.proc.pid) - before < 4096


def test_only_white_space_may_follow_the_request(service):
    _, ask = service
    for payload in ('{"value":true} x', '{"value":true}{"value":true}', '{"value":true}]'):
        assert ask(payload) == NOT_JSON, payload
    assert ask('{"value":false} \r\n\t')["rc"] == 200
