#!/usr/bin/env python3
"""Latency from a TPV leaving gpsd to (a) navmon's "GPS_DATA" commit and (b) the same TPV
arriving over MQTT through a gpspipe | mosquitto_pub pipeline.

Every TPV is keyed by its "time". Its departure is when this probe's own watch connection to
gpsd receives it; navmon's arrival is when a poll of the system database (every ~5 ms) first
sees GPS_DATA's "time" equal to it; the pipeline's arrival is mosquitto_sub's reception stamp.
All stamps are CLOCK_REALTIME seconds on this machine.

  latency_probe.py --gpsd-port P --db FILE --mqtt-port M --seconds S --out RESULT.json
"""
import argparse
import json
import socket
import sqlite3
import subprocess
import threading
import time

TOPIC = "v1/device/gps/location/tpv/update"


def watch_gpsd(port, departures, stop):
    sock = socket.create_connection(("127.0.0.1", port))
    sock.sendall(b'?WATCH={"enable":true,"json":true}\n')
    sock.settimeout(0.2)
    pending = b""
    while not stop.is_set():
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            continue
        now = time.time()
        if not chunk:
            break
        pending += chunk
        *lines, pending = pending.split(b"\n")
        for line in lines:
            try:
                report = json.loads(line)
            except ValueError:
                continue
            if report.get("class") == "TPV" and "time" in report:
                departures.setdefault(report["time"], now)
    sock.close()


def poll_db(path, arrivals, stop):
    db = None
    last = None
    while not stop.is_set():
        try:
            if db is None:
                db = sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=0.2)
            row = db.execute("SELECT value FROM kv WHERE db = 'GPS' AND key = 'GPS_DATA'").fetchone()
        except sqlite3.Error:
            row = None
        now = time.time()
        if row is not None and row[0] != last:
            last = row[0]
            try:
                t = json.loads(row[0]).get("time")
            except ValueError:
                t = None
            if isinstance(t, str):
                arrivals.setdefault(t, now)
        time.sleep(0.005)


def subscribe(proc, arrivals):
    for line in proc.stdout:
        stamp, _, payload = line.partition(" ")
        try:
            report = json.loads(payload)
        except ValueError:
            continue
        if report.get("class") == "TPV" and "time" in report:
            arrivals.setdefault(report["time"], float(stamp))


def summary(departures, arrivals):
    lat = sorted(arrivals[t] - departures[t] for t in arrivals if t in departures)
    lat = [x for x in lat if x >= -0.001]  # a time seen again after a loop of the recording
    if not lat:
        return {"count": 0}
    pick = lambda q: lat[min(len(lat) - 1, int(q * len(lat)))]
    return {"count": len(lat), "median_ms": round(pick(0.5) * 1000, 1),
            "p99_ms": round(pick(0.99) * 1000, 1), "max_ms": round(lat[-1] * 1000, 1)}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--gpsd-port", type=int, required=True)
    ap.add_argument("--db", required=True)
    ap.add_argument("--mqtt-port", type=int, required=True)
    ap.add_argument("--seconds", type=float, required=True)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()

    departures, navmon, pipeline = {}, {}, {}
    stop = threading.Event()
    sub = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(args.mqtt_port), "-t",
                            TOPIC, "-F", "%U %p"], stdout=subprocess.PIPE, text=True)
    threads = [threading.Thread(target=watch_gpsd, args=(args.gpsd_port, departures, stop)),
               threading.Thread(target=poll_db, args=(args.db, navmon, stop)),
               threading.Thread(target=subscribe, args=(sub, pipeline))]
    for t in threads:
        t.start()
    time.sleep(args.seconds)
    stop.set()
    sub.terminate()
    for t in threads:
        t.join()
    sub.wait()
    result = {"tpv_sent": len(departures), "navmon": summary(departures, navmon),
              "pipeline": summary(departures, pipeline)}
    with open(args.out, "w") as f:
        json.dump(result, f)


if __name__ == "__main__":
    main()
