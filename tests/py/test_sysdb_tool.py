"""The sysdb command-line tool as scripts use it: output formats, exit codes, watch."""

import itertools
import os
import signal
import subprocess

from conftest import SLOW, program, sysdb as run, wait_for

# (arguments, split at spaces unless a list; exit status; exact stdout, None for a usage text)
STEPS = [
    (["set", "GPS", "b", "say \"it's\"\n"], 0, ""), (["set", "GPS", "K", "$GPGGA,1*00\r\n"], 0, ""),
    ("get GPS K", 0, "$GPGGA,1*00\r\n\n"), ("set GPS C -- --int", 0, ""),
    ("get GPS C", 0, "--int\n"), ("set GPS C -2147483648 --int", 0, ""),
    ("set GPS K --int 2147483647", 0, ""), ("set GPS T 12 --text", 0, ""),
    ("set GPS A 0.1 --dbl", 0, ""), ("get GPS A", 0, "0.1\n"),
    (["set", "GPS", "J", '{ "x" : [1, 2.5] }', "--json"], 0, ""), ("set DR OTHER 1", 0, ""),
    ("dump GPS", 0, '{"A":0.1,"C":-2147483648,"J":{"x":[1,2.5]},"K":2147483647,"T":"12",'
                    '"b":"say \\"it\'s\\"\\n"}\n'),
    ("dump NOTHING", 0, "{}\n"), ("del GPS K", 0, ""), ("del GPS K", 0, ""), ("get GPS K", 1, ""),
    ("--help", 0, None), ("", 2, ""), ("get GPS", 2, ""), ("set GPS K 2147483648 --int", 2, ""),
    ("set GPS K 1e999 --dbl", 2, ""), (["set", "GPS", "K", '{"a":1} x', "--json"], 2, ""),
]


def test_set_get_dump_formats_and_exit_codes(workdir):
    path = os.path.join(workdir, "db/sysdb.sqlite")
    for args, status, printed in STEPS:
        r = run(path, *(args.split() if isinstance(args, str) else args))
        assert r.returncode == status, (args, r.stderr)
        assert "usage:" in r.stdout if printed is None else r.stdout == printed, args
        assert status != 2 or r.stderr, args
    r = run("/proc/navmon-no-such-dir/db", "get", "GPS", "K")
    assert r.returncode == 1 and "unable to open" in r.stderr


def test_watch_prints_changes_from_another_process_until_terminated(workdir):
    path, out = os.path.join(workdir, "sysdb.sqlite"), os.path.join(workdir, "watch.out")
    watch = subprocess.Popen(program("sysdb") + ["watch", "GPS", "SQI", "GPGSV", "GONE"],
                             env=dict(os.environ, SYSDB_PATH=path), stdout=open(out, "w"))
    try:
        # Watch reports changes after its first look; keep writing until one shows.
        n = itertools.count()
        assert wait_for(lambda: run(path, "set", "GPS", "SQI", str(next(n)), "--int") and
                        "SQI " in open(out).read(), 10)
        # Each change shown before the next is made: a value set and deleted unseen is none.
        for args, shown in ((["GONE", "x"], "GONE x\n"), (["UNWATCHED", "1"], None),
                            (["GPGSV", "$GPGSV,1*00\r\n$GPGSV,2*00\r\n"],
                             "GPGSV $GPGSV,1*00\\r\\n$GPGSV,2*00\\r\\n\n"),
                            ([], "GONE (deleted)\n")):
            change = ["set", "GPS"] + args if args else ["del", "GPS", "GONE"]
            assert run(path, *change).returncode == 0
            assert not shown or wait_for(lambda: shown in open(out).read(), 10), shown
    finally:
        watch.send_signal(signal.SIGTERM)
        assert watch.wait(5 * SLOW) == 0
    assert "UNWATCHED" not in open(out).read()
