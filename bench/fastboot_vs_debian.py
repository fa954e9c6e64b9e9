#!/usr/bin/env python3
"""Our fastboot flashing against Debian's `fastboot` client, side by side, over TCP to phonesim.

    bench/fastboot_vs_debian.py --build BUILD_DIR [--runs 9] [--mb 256] [--phones 4]

The package has a system image of --mb MiB and five 4 KiB images. Each round runs, in turns:
  ours x1     tarnwell-cli fastboot-flash --no-reboot (load the package, seven flashes)
  debian x1   fastboot -s tcp:... flash system (one flash)
  ours xN     flash_phones: one process, the package loaded once, N phones at once
  debian xN   N fastboot clients at once, one per phone
  ours xN/p   N tarnwell-cli processes at once
  alt x1/xN   the same two of another build, with --also DIR (an earlier build, say)
Wall time is from the first start to the last exit; peak RSS comes from GNU time; CPU time is
the clients' (with their children) and phonesim's, each run's own. On a shared machine CPU time
is the steadier figure.
After the timed rounds, one sampled round per case reads /proc/PID/smaps_rollup every few
milliseconds for each process's private memory (Private_Clean + Private_Dirty; pages of a mapped
file that no other process maps count as private) and proportional set size. Every run's system
partition on the phone is compared with the image. Medians are printed with the load average.
"""
import argparse
import filecmp
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time


def die(msg):
    print("fastboot_vs_debian: " + msg, file=sys.stderr)
    sys.exit(1)


def smaps(pid):
    out = {}
    try:
        with open("/proc/%d/smaps_rollup" % pid) as f:
            for line in f:
                parts = line.split()
                if len(parts) >= 2 and parts[0].endswith(":") and parts[1].isdigit():
                    out[parts[0][:-1]] = int(parts[1])
    except OSError:
        pass
    return out


def tree(pid):
    """pid and its descendants (the client under `timeout` is its child)."""
    out, todo = [], [pid]
    while todo:
        p = todo.pop()
        out.append(p)
        try:
            with open("/proc/%d/task/%d/children" % (p, p)) as f:
                todo.extend(int(c) for c in f.read().split())
        except OSError:
            pass
    return out


def cpu_ns(pid):
    """CPU time of every thread of a process so far, in nanoseconds."""
    total = 0
    try:
        for t in os.listdir("/proc/%d/task" % pid):
            try:
                with open("/proc/%d/task/%s/schedstat" % (pid, t)) as f:
                    total += int(f.read().split()[0])
            except OSError:
                pass
    except OSError:
        pass
    return total


def run_set(cmds, sample_ms=0):
    """Starts every command at once, waits for all. Returns (seconds, [(rc, maxrss_kib,
    private_kib, pss_kib, cpu_s)])."""
    # Peak RSS through GNU time: a child forked from this Python carries Python's pages until it
    # execs, and the kernel's maxrss for it would count them.
    rss_files = [tempfile.NamedTemporaryFile(prefix="tw_rss_", delete=False) for _ in cmds]
    for f in rss_files:
        f.close()
    cmds = [["/usr/bin/time", "-f", "%M", "-o", f.name] + c for f, c in zip(rss_files, cmds)]
    t0 = time.monotonic()
    procs = [subprocess.Popen(c, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE) for c in cmds]
    pids = {p.pid: i for i, p in enumerate(procs)}
    res = [None] * len(procs)
    peak_priv = [0] * len(procs)
    peak_pss = [0] * len(procs)
    left = set(pids)
    while left:
        if sample_ms:
            for pid in left:
                i = pids[pid]
                for p in tree(pid):
                    s = smaps(p)
                    peak_priv[i] = max(peak_priv[i],
                                       s.get("Private_Clean", 0) + s.get("Private_Dirty", 0))
                    peak_pss[i] = max(peak_pss[i], s.get("Pss", 0))
        pid, status, ru = os.wait4(-1, os.WNOHANG if sample_ms else 0)
        if pid == 0:
            time.sleep(sample_ms / 1000.0)
            continue
        if pid in left:
            left.discard(pid)
            res[pids[pid]] = (os.waitstatus_to_exitcode(status), ru.ru_maxrss,
                              ru.ru_utime + ru.ru_stime)
    seconds = time.monotonic() - t0
    out = []
    for i, p in enumerate(procs):
        err = p.stderr.read().decode(errors="replace")
        p.stderr.close()
        p.returncode = res[i][0]
        if res[i][0] != 0 or "FAILED" in err:
            die("%s failed (%d): %s" % (" ".join(cmds[i]), res[i][0], err.strip()[-400:]))
        with open(rss_files[i].name) as f:
            maxrss = int(f.read().split()[-1])
        os.unlink(rss_files[i].name)
        out.append((res[i][0], maxrss, peak_priv[i], peak_pss[i], res[i][2]))
    return seconds, out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True, help="build folder with cli/, phonesim/, bench/")
    ap.add_argument("--runs", type=int, default=9)
    ap.add_argument("--mb", type=int, default=256)
    ap.add_argument("--phones", type=int, default=4)
    ap.add_argument("--sample-ms", type=int, default=5)
    ap.add_argument("--work", default="", help="work folder (default: a temporary one)")
    ap.add_argument("--state-root", default="/dev/shm",
                    help="where phonesim keeps the phones' partitions (default /dev/shm)")
    ap.add_argument("--skip", default="", help="comma-separated cases to leave out")
    ap.add_argument("--also", default="", help="another build folder whose tarnwell-cli and "
                    "flash_phones run as the cases 'alt x1' and 'alt xN' (e.g. an earlier build)")
    a = ap.parse_args()

    cli = os.path.join(a.build, "cli", "tarnwell-cli")
    sim = os.path.join(a.build, "phonesim", "phonesim")
    multi = os.path.join(a.build, "bench", "flash_phones")
    debian = shutil.which("fastboot")
    for f in (cli, sim, multi):
        if not os.access(f, os.X_OK):
            die("missing " + f)
    if not debian:
        die("Debian's fastboot client is not installed")

    work = a.work or tempfile.mkdtemp(prefix="tw_fb_vs_")
    # By default the phones' partitions go to memory, so writeback of earlier runs does not slow
    # later ones.
    state_root = tempfile.mkdtemp(prefix="tw_fb_vs_state_",
                                  dir=a.state_root if os.path.isdir(a.state_root) else None)
    pkg = os.path.join(work, "pkg")
    subprocess.run([sim, "make-package", pkg, "--android-mb", "1"], check=True,
                   stdout=subprocess.DEVNULL)
    android = os.path.join(pkg, "android")
    system = os.path.join(android, "system.2knand.img")
    for name in os.listdir(android):
        with open(os.path.join(android, name), "wb") as f:
            if name == "system.2knand.img":
                chunk = 1 << 20
                for _ in range(a.mb):
                    f.write(os.urandom(chunk))
            else:
                f.write(os.urandom(4096))
    with open(system, "rb") as f:  # into the page cache for everyone
        while f.read(1 << 24):
            pass

    devdir = os.path.join(state_root, "dev")
    state = os.path.join(state_root, "state")
    os.makedirs(devdir)
    simp = subprocess.Popen([sim, "--device-dir", devdir, "--state-dir", state, "--package", pkg,
                             "--phones", str(a.phones), "--start-mode", "fastboot"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        addrs = {}
        for _ in range(500):
            for i in range(a.phones):
                info = os.path.join(state, "phone%02d" % i, "info.ini")
                try:
                    with open(info) as f:
                        for line in f:
                            if line.startswith("address="):
                                addrs[i] = line.strip().split("=", 1)[1]
                except OSError:
                    pass
            if len(addrs) == a.phones:
                break
            time.sleep(0.02)
        if len(addrs) < a.phones:
            die("phonesim did not publish %d fastboot phones" % a.phones)
        names = [addrs[i] for i in range(a.phones)]
        parts = [os.path.join(state, "phone%02d" % i, "fastboot", "system.img") for i in range(a.phones)]

        def ours(i):
            return [cli, "--quiet", "fastboot-flash", "--device", names[i], "--package", pkg,
                    "--no-reboot"]

        def deb(i):
            return ["timeout", "120", debian, "-s", names[i], "flash", "system", system]

        n = a.phones
        cases = [
            ("ours x1", lambda: [ours(0)], 1),
            ("debian x1", lambda: [deb(0)], 1),
            ("ours x%d" % n, lambda: [[multi, "--package", pkg] + names], n),
            ("debian x%d" % n, lambda: [deb(i) for i in range(n)], n),
            ("ours x%d/p" % n, lambda: [ours(i) for i in range(n)], n),
        ]
        if a.also:
            alt_cli = os.path.join(a.also, "cli", "tarnwell-cli")
            alt_multi = os.path.join(a.also, "bench", "flash_phones")
            cases += [
                ("alt x1", lambda: [[alt_cli] + ours(0)[1:]], 1),
                ("alt x%d" % n, lambda: [[alt_multi, "--package", pkg] + names], n),
            ]
        skip = set(s.strip() for s in a.skip.split(",") if s.strip())
        cases = [c for c in cases if c[0] not in skip]

        def one(case, sample_ms):
            label, cmds, phones = case
            for p in parts[:phones]:
                if os.path.exists(p):
                    os.remove(p)
            sim_cpu0 = cpu_ns(simp.pid)
            secs, res = run_set(cmds(), sample_ms)
            sim_cpu = (cpu_ns(simp.pid) - sim_cpu0) / 1e9
            for p in parts[:phones]:
                if not filecmp.cmp(p, system, shallow=False):
                    die(label + ": the phone's system partition differs from the image")
            return secs, res, sum(x[4] for x in res), sim_cpu

        load0 = os.getloadavg()
        times = {c[0]: [] for c in cases}
        rss = {c[0]: [] for c in cases}
        ccpu = {c[0]: [] for c in cases}
        pcpu = {c[0]: [] for c in cases}
        for r in range(a.runs):
            order = cases if r % 2 == 0 else list(reversed(cases))
            for c in order:
                secs, res, client_cpu, sim_cpu = one(c, 0)
                times[c[0]].append(secs)
                rss[c[0]].append(max(x[1] for x in res))
                ccpu[c[0]].append(client_cpu)
                pcpu[c[0]].append(sim_cpu)
        priv = {}
        for c in cases:
            _, res, _, _ = one(c, a.sample_ms)
            priv[c[0]] = (max(x[2] for x in res), max(x[3] for x in res))
        load1 = os.getloadavg()

        print("%d MiB system image, %d runs each (alternating order), load average %.2f before, "
              "%.2f after" % (a.mb, a.runs, load0[0], load1[0]))
        print("%-12s %9s %9s %9s %11s %10s %12s %12s %8s" % (
            "case", "median s", "min s", "max s", "client CPU", "phone CPU", "peak RSS MiB",
            "private MiB", "PSS MiB"))
        med = {}
        for c in cases:
            t = times[c[0]]
            med[c[0]] = statistics.median(t)
            print("%-12s %9.3f %9.3f %9.3f %11.3f %10.3f %12.1f %12.1f %8.1f" % (
                c[0], med[c[0]], min(t), max(t), statistics.median(ccpu[c[0]]),
                statistics.median(pcpu[c[0]]), statistics.median(rss[c[0]]) / 1024.0,
                priv[c[0]][0] / 1024.0, priv[c[0]][1] / 1024.0))
        for ours_label, deb_label in (("ours x1", "debian x1"), ("ours x%d" % n, "debian x%d" % n),
                                      ("ours x%d/p" % n, "debian x%d" % n),
                                      ("alt x1", "debian x1"), ("alt x%d" % n, "debian x%d" % n)):
            if ours_label in med and deb_label in med:
                print("ratio %s / %s: %.2f" % (ours_label, deb_label, med[ours_label] / med[deb_label]))
        print("(CPU: seconds, medians; client = every process of the case, phone = phonesim. "
              "Peak RSS and private/PSS: the largest of the case's processes; private and PSS "
              "sampled every %d ms in one extra run)" % a.sample_ms)
    finally:
        simp.send_signal(signal.SIGTERM)
        try:
            simp.wait(timeout=10)
        except subprocess.TimeoutExpired:
            simp.kill()
        shutil.rmtree(state_root, ignore_errors=True)
        if not a.work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
