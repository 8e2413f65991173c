#!/usr/bin/env python3
"""The builder at its edges, run as a user would run it: closed standard descriptors,
signals at key waits (a pipe or a pseudo-terminal as standard input, so each signal
comes at a known point), a closed output pipe, folder and file names that are not
UTF-8, photos whose header claims more pixels than can be decoded, photos too large
for the memory the process may have (not in a sanitizer build), a folder without
photos over an existing store, and (as an ordinary user) an output folder that cannot
be read. Each case checks the exit status, that no partial file is left, and what the
store is afterwards."""
import argparse, os, pty, re, shutil, signal, subprocess, sys, tempfile, termios, time

ap = argparse.ArgumentParser()
ap.add_argument("--tilvexgen", required=True)
ap.add_argument("--photos", required=True)
# A sanitizer's shadow memory needs more address space than any limit leaves.
ap.add_argument("--sanitized", action="store_true")
args = ap.parse_args()
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what, flush=True)


def make_photos(folder, count=3):
    os.makedirs(os.path.join(folder, "more"), exist_ok=True)
    subprocess.run([args.photos, folder, str(count)], check=True, stdout=subprocess.DEVNULL)


def case_dirs(root, name, count=3):
    """A photo folder and a program folder; returns (pics, program path, store path)."""
    base = os.path.join(root, name)
    os.makedirs(os.path.join(base, "bin"))
    pics = os.path.join(base, "pics")
    make_photos(pics, count)
    return pics, os.path.join(base, "bin", "Tilvexgen"), os.path.join(base, "bin", "pics.tvx")


def claiming(pics, side):
    """The bytes of the folder's first photo with a frame header that claims side x side."""
    sample = os.path.join(pics, sorted(n for n in os.listdir(pics) if n.endswith(".jpg"))[0])
    data = bytearray(open(sample, "rb").read())
    sof = data.find(b"\xff\xc0")
    data[sof + 5:sof + 9] = side.to_bytes(2, "big") * 2
    return data


def run(program, pics, **kw):
    """Runs the builder as program (its store goes beside that path)."""
    return subprocess.Popen([program, pics], executable=args.tilvexgen, **kw)


def read_until(stream, text):
    got = b""
    while not got.endswith(text):
        b = stream.read(1)
        if not b:
            break
        got += b
    return got


def closed_standard_output(root):
    # On tmpfs (no direct I/O) a closed descriptor 1 would become the partial file.
    shm = tempfile.mkdtemp(dir="/dev/shm") if os.path.isdir("/dev/shm") else tempfile.mkdtemp(dir=root)
    try:
        pics, program, store = case_dirs(shm, "closed")
        for fd in (0, 1, 2):
            p = run(program, pics, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                    preexec_fn=lambda fd=fd: os.close(fd))
            check(p.wait(timeout=120) == 0, "closed descriptor %d: status %s" % (fd, p.returncode))
            data = open(store, "rb").read()
            check(b"Scanning directory" not in data and b"Hit a key" not in data,
                  "closed descriptor %d: the messages went into the store" % fd)
            check(not os.path.exists(store + ".part"), "closed descriptor %d: partial file left" % fd)
    finally:
        shutil.rmtree(shm, ignore_errors=True)


def signal_at_scan_key_wait(root):
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGPIPE, signal.SIGQUIT):
        pics, program, store = case_dirs(root, "sig%d" % sig)
        open(store, "wb").write(b"old")
        p = run(program, pics, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        read_until(p.stdout, b"Hit a key...\n")  # the partial file exists, the build waits
        check(os.path.exists(store + ".part"), "signal %d: no partial file at the key wait" % sig)
        p.send_signal(sig)
        p.stdout.close()
        p.stdin.close()
        check(p.wait(timeout=120) == 1, "signal %d: status %s" % (sig, p.returncode))
        check(not os.path.exists(store + ".part"), "signal %d: partial file left" % sig)
        check(open(store, "rb").read() == b"old", "signal %d: the previous store changed" % sig)


def closed_output_pipe(root):
    # The reader goes while the build waits at its first key wait; the messages of the
    # painting of 40 photos are more than the output's buffer holds, so they meet the
    # closed pipe while the build runs. The build stops with status 1 and leaves no
    # partial file.
    pics, program, store = case_dirs(root, "pipe", 40)
    open(store, "wb").write(b"old")
    p = run(program, pics, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    read_until(p.stdout, b"Hit a key...\n")
    p.stdout.close()
    p.stdin.write(b"k")
    p.stdin.close()
    check(p.wait(timeout=120) == 1, "closed pipe: status %s" % p.returncode)
    check(not os.path.exists(store + ".part"), "closed pipe: partial file left")
    check(open(store, "rb").read() == b"old", "closed pipe: the previous store changed")


def interrupt_at_final_key_wait(root):
    # Ctrl-C at the last "Hit a key...": the store stands, the terminal has its echo back.
    pics, program, store = case_dirs(root, "final")
    master, slave = pty.openpty()
    p = run(program, pics, stdin=slave, stdout=subprocess.PIPE, start_new_session=True)
    os.write(master, b"k")  # the key for the scan's wait
    read_until(p.stdout, b"\n\nHit a key...\n")  # the last prompt follows an empty line
    # The wait has begun once the terminal's echo is off (20 s at most).
    for _ in range(4000):
        if not termios.tcgetattr(slave)[3] & termios.ECHO:
            break
        time.sleep(0.005)
    p.send_signal(signal.SIGINT)
    p.wait(timeout=120)
    check(p.returncode == -signal.SIGINT, "final key wait: status %s" % p.returncode)
    check(termios.tcgetattr(slave)[3] & termios.ECHO, "final key wait: the terminal was left without echo")
    check(os.path.getsize(store) > 0 and not os.path.exists(store + ".part"), "final key wait: the store is missing")
    os.close(master)
    os.close(slave)


def names_that_are_not_utf8(root):
    base = os.path.join(root.encode(), b"latin")
    os.makedirs(os.path.join(base, b"bin"))
    pics = os.path.join(base, b"Urlaub\xe9")
    make_photos(pics.decode("utf-8", "surrogateescape"))
    sub = os.path.join(pics, b"Sommer\xe9")
    os.makedirs(sub)
    shutil.copy(os.path.join(pics, sorted(n for n in os.listdir(pics) if n.endswith(b".jpg"))[0]),
                os.path.join(sub, b"caf\xe9.jpg"))
    p = subprocess.run([os.path.join(base, b"bin", b"Tilvexgen"), pics], executable=args.tilvexgen,
                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, timeout=120)
    check(p.returncode == 0, "latin-1 names: status %s" % p.returncode)
    check(b"Processing 4 images" in p.stdout, "latin-1 names: not every photo was taken:\n" + p.stdout.decode(errors="replace"))
    check(b"Urlaub\\xE9" in p.stdout and b"Sommer\\xE9/caf\\xE9.jpg" in p.stdout,
          "latin-1 names: not shown escaped")
    check(b"\xe9" not in p.stdout, "latin-1 names: raw bytes in the output")
    check(os.path.getsize(os.path.join(base, b"bin", b"Urlaub\xe9.tvx")) > 0, "latin-1 names: no store")


def photos_too_large_to_decode(root):
    pics, program, store = case_dirs(root, "huge")
    data = claiming(pics, 65000)
    open(os.path.join(pics, "huge.jpg"), "wb").write(data)
    p = subprocess.run([program, pics], executable=args.tilvexgen, stdin=subprocess.DEVNULL,
                       stdout=subprocess.PIPE, timeout=120)
    out = p.stdout.decode(errors="replace")
    check(p.returncode == 0, "huge photo: status %s" % p.returncode)
    check("Image %s/huge.jpg cannot be decoded : Bad bitmap size 65000 x 65000\n" % pics in out,
          "huge photo: not refused by the scan:\n" + out)
    check("Processing 3 images" in out and "huge.jpg (" not in out, "huge photo: laid out:\n" + out)


def photos_too_large_for_the_memory_limit(root):
    # Two small files whose headers claim 12000 x 12000 pixels (0.4 GB decoded, as much
    # again in tiles) pass the scan; under a 512 MiB address-space limit each is named
    # and passed over untried (trying would take the address space to its limit, and an
    # allocation of another thread could fail and end the build), and the other photos
    # are built.
    if args.sanitized:
        return
    import resource
    pics, program, store = case_dirs(root, "limited")
    data = claiming(pics, 12000)
    for name in ("big1.jpg", "big2.jpg"):
        open(os.path.join(pics, name), "wb").write(data)
    limit = 512 << 20
    p = subprocess.run([program, pics], executable=args.tilvexgen, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                       timeout=300, preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
    out = p.stdout.decode(errors="replace")
    check(p.returncode == 0, "memory limit: status %s:\n%s" % (p.returncode, out))
    for name in ("big1.jpg", "big2.jpg"):
        check(re.search(re.escape("Image %s/%s cannot be decoded : Insufficient memory to paint the image: " % (pics, name))
                        + r"it takes \d+ MiB, more than half the memory this process has left\n", out),
              "memory limit: %s not named:\n%s" % (name, out))
    check("Processing 5 images" in out and "Error" not in out, "memory limit: not every photo taken:\n" + out)
    check(os.path.getsize(store) > 0 and not os.path.exists(store + ".part"), "memory limit: no store")


def a_claim_beyond_its_file(root):
    # A small file whose header claims 20000 x 20000 pixels, with no memory limit at all:
    # named and passed over before anything is made for it (not 1.2 GB of black tiles
    # and a bitmap), and the other photos are built.
    if args.sanitized:
        return
    pics, program, store = case_dirs(root, "claim")
    data = claiming(pics, 20000)
    open(os.path.join(pics, "claim.jpg"), "wb").write(data)
    p = run(program, pics, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
    out = p.stdout.read().decode(errors="replace")
    _, status, usage = os.wait4(p.pid, 0)
    check(os.waitstatus_to_exitcode(status) == 0, "claim: status %s:\n%s" % (status, out))
    check(re.search(re.escape("Image %s/claim.jpg cannot be decoded : its file of %d bytes claims 20000 x 20000 pixels"
                              % (pics, len(data))), out), "claim: not named:\n" + out)
    check(usage.ru_maxrss < 256 * 1024, "claim: took %d kB" % usage.ru_maxrss)


def no_photos_over_a_store(root):
    pics, program, store = case_dirs(root, "none")
    shutil.rmtree(pics)
    os.makedirs(pics)
    open(store, "wb").write(b"old")
    p = subprocess.run([program, pics], executable=args.tilvexgen, stdin=subprocess.DEVNULL,
                       stdout=subprocess.PIPE, timeout=120)
    out = p.stdout.decode(errors="replace")
    check(p.returncode == 1, "no photos: status %s" % p.returncode)
    check("No jpeg images found in " + pics in out, "no photos: not said:\n" + out)
    check(open(store, "rb").read() == b"old", "no photos: the store was replaced")
    check(not os.path.exists(store + ".part"), "no photos: partial file left")


def folder_that_cannot_be_read(root):
    if os.geteuid() != 0:
        return  # needs a user that permissions apply to, started from root
    pics, program, store = case_dirs(root, "unreadable")
    for dirpath, dirs, files in os.walk(os.path.join(root, "unreadable")):
        os.chmod(dirpath, 0o777)
        for f in files:
            os.chmod(os.path.join(dirpath, f), 0o666)
    os.chmod(root, 0o755)
    open(store, "wb").write(b"old")
    os.chmod(store, 0o666)
    os.chmod(os.path.dirname(store), 0o333)

    def ordinary_user():
        os.setgid(65534)
        os.setuid(65534)

    p = subprocess.run([program, pics], executable=args.tilvexgen, stdin=subprocess.DEVNULL,
                       stdout=subprocess.PIPE, timeout=120, preexec_fn=ordinary_user)
    out = p.stdout.decode(errors="replace")
    os.chmod(os.path.dirname(store), 0o755)
    check(p.returncode == 1, "unreadable folder: status %s" % p.returncode)
    check("Error : File error (%s) : Permission denied\n" % os.path.dirname(store) in out,
          "unreadable folder: message:\n" + out)
    check(open(store, "rb").read() == b"old", "unreadable folder: the store was replaced although reported failed")
    check(not os.path.exists(store + ".part"), "unreadable folder: partial file left")


root = tempfile.mkdtemp(prefix="tilvexgen-edges-")
os.chmod(root, 0o755)
try:
    for case in (closed_standard_output, signal_at_scan_key_wait, closed_output_pipe, interrupt_at_final_key_wait,
                 names_that_are_not_utf8, photos_too_large_to_decode, photos_too_large_for_the_memory_limit,
                 a_claim_beyond_its_file, no_photos_over_a_store,
                 folder_that_cannot_be_read):
        print("--", case.__name__, flush=True)
        case(root)
finally:
    shutil.rmtree(root, ignore_errors=True)
print("%d failure(s)" % len(failures))
sys.exit(1 if failures else 0)
