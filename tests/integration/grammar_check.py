#!/usr/bin/env python3
"""The tools' shared command-line grammar: --version and --help name the program, and every
usage error and run-time failure ends with its documented status (0 done, 1 failed at run time,
2 usage) and a line that says what and why.

grammar_check.py VERSION BIO_HOST VSENSOR; programs of a cross build run behind $BIO_TEST_EMULATOR."""
import os
import subprocess
import sys
import tempfile

VERSION, BIO_HOST, VSENSOR = sys.argv[1:4]
EMULATOR = os.environ.get("BIO_TEST_EMULATOR", "").split()
# An emulated bio-host cannot run itself again with the sensor preloaded: the emulator preloads it.
ENV = dict(os.environ, **({"QEMU_SET_ENV": "LD_PRELOAD=" + VSENSOR} if EMULATOR else {}))

with tempfile.TemporaryDirectory() as tmp:
    def file(name, text):
        with open(os.path.join(tmp, name), "w") as out:
            out.write(text)
        return os.path.join(tmp, name)

    glass = file("glass.txt", "glass 3f\n")
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
    ]
    failed = 0
    for argv, status, text in rows:
        run = subprocess.run(EMULATOR + argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, env=ENV, timeout=120)
        said = run.stdout.decode(errors="replace")
        ok = run.returncode == status and text in said
        failed += not ok
        print(("ok: " if ok else "FAILED: ") + " ".join(argv[1:]) + f": exit {run.returncode}", flush=True)
        if not ok:
            print(f"  expected exit {status} and {text!r}; got:\n  " + said.replace("\n", "\n  "))
    print(f"{len(rows) - failed} passed, {failed} failed")
    sys.exit(1 if failed else 0)
