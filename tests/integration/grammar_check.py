#!/usr/bin/env python3
"""The tools' shared command-line grammar: --version and --help name the program, and every
usage error and run-time failure ends with its documented status (0 done, 1 failed at run time,
2 usage) and a line that says what and why.

grammar_check.py VERSION BIO_HOST VSENSOR BIO_TUNE BIO_STREAM; programs of a cross build run behind $BIO_TEST_EMULATOR."""
import os
import socket
import subprocess
import sys
import tempfile

VERSION, BIO_HOST, VSENSOR, BIO_TUNE, BIO_STREAM = sys.argv[1:6]
EMULATOR = os.environ.get("BIO_TEST_EMULATOR", "").split()
# An emulated bio-host cannot run itself again with the sensor preloaded: the emulator preloads it.
ENV = dict(os.environ, **({"QEMU_SET_ENV": "LD_PRELOAD=" + VSENSOR} if EMULATOR else {}))

with tempfile.TemporaryDirectory() as tmp:
    def file(name, text):
        with open(os.path.join(tmp, name), "w") as out:
            out.write(text)
        return os.path.join(tmp, name)

    glass = file("glass.txt", "glass 3f\n")
    # Ports taken: the page's (TCP) and the stream's (UDP); a refusal must not say "listening on" first.
    tcp, udp = socket.socket(), socket.socket(type=socket.SOCK_DGRAM)
    tcp.bind(("127.0.0.1", 0)), tcp.listen(), udp.bind(("127.0.0.1", 0))
    busy = lambda s: f"127.0.0.1:{s.getsockname()[1]}: Address already in use"
    rows = [  # program and arguments, exit status, text the output holds
        ([BIO_HOST, "--version"], 0, f"bio-host {VERSION}\n"),
        ([BIO_HOST, "-h"], 0, "Usage: bio-host [OPTIONS]"),
        ([BIO_HOST, "--bogus"], 2, "bio-host: The following argument was not expected: --bogus"),
        ([BIO_HOST, "-l", "loud"], 2, "bio-host: --log-level: loud not in {debug,info,error,none}"),
        ([BIO_HOST, "--seconds", "-1"], 2, "bio-host: --seconds:"),
        ([BIO_HOST, "--frames", "5"], 2, "bio-host: --frames needs --simulate"),
        ([BIO_HOST, "--simulate", glass, "--set", "bsise=16"], 2,
         "bio-host: --set bsise=16: unknown key 'bsise' in [bio_module] (did you mean 'bsize'?)"),
        ([BIO_HOST, "--simulate", glass, "--set", "bio_modul.bsize=16"], 2,
         "unknown section [bio_modul] (did you mean [bio_module]?)"),
        ([BIO_HOST, "--config", file("cfg.ini", "[bio_module]\nbsize = 16\nimg_nun = 5\n")], 2,
         "cfg.ini:3: unknown key 'img_nun' in [bio_module] (did you mean 'img_num'?)"),
        ([BIO_HOST, "--simulate", file("bad.txt", "glass 2f\nfnger 3f\n")], 2,
         "bad.txt: scenario line 2: unknown source or setting 'fnger'"),
        ([BIO_HOST, "--probe", "--set", "device_path=" + tmp + "/video9"], 1,
         f"bio-host: cannot open {tmp}/video9: No such file or directory"),
        ([BIO_HOST, "--simulate", glass, "--model", "GC999", "--until-end"], 0,
         "warning: the module knows no sensor model \"GC999\""),
        ([BIO_TUNE, "--version"], 0, f"bio-tune {VERSION}\n"),
        ([BIO_TUNE, "-h"], 0, "Usage: bio-tune [OPTIONS]"),
        ([BIO_TUNE, glass, "--img_num", "3"], 2, "bio-tune: --img_num and --min_img_num must be given as many"),
        ([BIO_TUNE, glass, "--step", "0"], 2, "bio-tune: --step: Value 0 not in range 1 to 280"),
        ([BIO_STREAM, "--version"], 0, f"bio-stream {VERSION}\n"),
        ([BIO_STREAM, "-h"], 0, "Usage: bio-stream [OPTIONS]"),
        ([BIO_STREAM, "-n", "1"], 2, "bio-stream: --port is required"),
        ([BIO_STREAM, "-p", "0", "--bsize", "16"], 2, "bio-stream: --bsize requires --step"),
        ([BIO_STREAM, "-p", "0", "--bsize", "4", "--step", "8"], 2, "bio-stream: --step 8 is larger than --bsize 4"),
        ([BIO_STREAM, "-p", "0", "-b", "127.0.0.1", "--http", str(tcp.getsockname()[1])], 1,
         "bio-stream: cannot serve the page on " + busy(tcp), "listening on"),
        ([BIO_STREAM, "-p", str(udp.getsockname()[1]), "-b", "127.0.0.1"], 1,
         "bio-stream: cannot listen on " + busy(udp)),
    ]
    failed = 0
    for argv, status, text, *absent in rows:
        run = subprocess.run(EMULATOR + argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, env=ENV, timeout=120)
        said = run.stdout.decode(errors="replace")
        ok = run.returncode == status and text in said and not any(a in said for a in absent)
        failed += not ok
        print(("ok: " if ok else "FAILED: ") + " ".join(argv[1:]) + f": exit {run.returncode}", flush=True)
        if not ok:
            print(f"  expected exit {status} and {text!r}; got:\n  " + said.replace("\n", "\n  "))
    print(f"{len(rows) - failed} passed, {failed} failed")
    sys.exit(1 if failed else 0)
