#!/usr/bin/env python3
"""Drives a virtual machine's serial console: waits for each expected text
and then types the next keys, as an operator would, and waits for the machine
to end (it is started with -no-reboot, so the installer's reboot ends it).

usage: drive.py [--log FILE] [--timeout SECONDS] [--stop] STEP... -- COMMAND...
With --log FILE, FILE.times records when the output arrived: one line
"BYTES SECONDS" per piece read (the log's length then, the time since the
machine started).
STEP is "expect:TEXT" or "send:KEYS" (\\r, \\n, \\e and \\xNN are understood).
Exit status 0 when every text appeared and the machine ended in time; with
--stop the machine is ended once the last step is done (a program that halts
instead of rebooting)."""
import os
import selectors
import subprocess
import sys
import time


def unescape(text):
    return text.encode().decode("unicode_escape").replace("\\e", "\x1b").encode("latin-1")


def main(argv):
    split = argv.index("--")
    options, command = argv[:split], argv[split + 1:]
    log_path, timeout, steps, stop = None, 300.0, [], False
    i = 0
    while i < len(options):
        if options[i] == "--log":
            log_path, i = options[i + 1], i + 2
        elif options[i] == "--stop":
            stop, i = True, i + 1
        elif options[i] == "--timeout":
            timeout, i = float(options[i + 1]), i + 2
        else:
            kind, _, text = options[i].partition(":")
            if kind not in ("expect", "send"):
                sys.stderr.write("drive.py: not a step: %r\n" % options[i])
                return 2
            steps.append((kind, unescape(text)))
            i += 1
    log = open(log_path, "wb") if log_path else None
    times = open(log_path + ".times", "w") if log_path else None
    started = time.monotonic()
    machine = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    selector = selectors.DefaultSelector()
    selector.register(machine.stdout, selectors.EVENT_READ)
    seen, searched_from = b"", 0
    deadline = time.monotonic() + timeout
    step = 0
    ended = False

    def advance():
        # Every step the output so far allows. Each awaited text is printed
        # after the installer's last change of terminal mode (the change that
        # drops unread input), so keys typed once it is there are kept until
        # the installer reads them, however long it takes to get there.
        nonlocal step, searched_from
        while step < len(steps):
            kind, text = steps[step]
            if kind == "send":
                try:
                    machine.stdin.write(text)
                    machine.stdin.flush()
                except BrokenPipeError:
                    return  # the machine has ended: the steps left are reported
            else:
                at = seen.find(text, searched_from)
                if at < 0:
                    return
                searched_from = at + len(text)
            step += 1

    advance()
    while time.monotonic() < deadline:
        if selector.select(timeout=max(0.0, min(1.0, deadline - time.monotonic()))):
            chunk = os.read(machine.stdout.fileno(), 65536)
            if not chunk:
                ended = True
                break
            seen += chunk
            sys.stdout.buffer.write(chunk)
            sys.stdout.flush()
            if log:
                log.write(chunk)
                log.flush()
                times.write("%d %.2f\n" % (len(seen), time.monotonic() - started))
            advance()
            if stop and step == len(steps):
                machine.kill()
                machine.wait()
                return 0
    if not ended:
        machine.kill()
    status = machine.wait()
    if step < len(steps):
        sys.stderr.write("\ndrive.py: still waiting for %r\n" % (steps[step][1],))
        return 1
    if not ended:
        sys.stderr.write("\ndrive.py: the machine did not end within %d s\n" % timeout)
        return 1
    return 0 if status == 0 else 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
