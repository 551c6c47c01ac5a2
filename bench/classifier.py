#!/usr/bin/env python3
"""Classifier benchmark, loopback only. One spamd (local tests only) scores the
same N messages three ways, each run RUNS times:
  spamc       spamc -R alone on every message (the classifier's own cost)
  hcheck      the HCheck adapter on the stored wire form (adapter -> spamc)
  filter      SMTP client -> quibo with DoHeurastic=1 (-> HCheck -> spamc) -> sink
Reports messages per second and CPU per message: perf stat task-clock of the
measured processes (children included), and spamd's own CPU from /proc.
Called by bench/classifier.sh; prints result lines on standard output."""
import os, random, shutil, signal, smtplib, statistics, subprocess, sys, tempfile, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchpeers import HCHECK, QUIBO, HeaderHop, cpu_seconds, family, free_port, task_clock_ms, wait_port  # noqa: E402

N = int(os.environ.get("N", "200"))
RUNS = int(os.environ.get("RUNS", "3"))
GTUBE = "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X"
WORDS = ("meeting report budget offer project lunch invoice schedule weekend release notes review "
         "customer order shipping account holiday agenda draft contract update free money").split()


def make_messages(folder):
    """Plain messages for spamc, their stored wire form (dot-stuffed, final ".") for HCheck."""
    rng = random.Random(7)
    plain, wire = os.path.join(folder, "plain"), os.path.join(folder, "wire")
    os.makedirs(plain), os.makedirs(wire)
    for i in range(N):
        lines = [" ".join(rng.choice(WORDS) for _ in range(12)) for _ in range(55)]
        lines[10] = "." + lines[10]
        if i % 10 == 0:
            lines[20] = GTUBE
        text = ("From: Sender %d <sender%d@example.com>\r\nTo: rcpt@example.org\r\nSubject: %s %d\r\n"
                "Message-Id: <bench%d@example.com>\r\nDate: Tue, 8 Dec 2026 10:00:00 +0000\r\n\r\n%s\r\n"
                % (i, i, rng.choice(WORDS), i, i, "\r\n".join(lines)))
        open(os.path.join(plain, "%04d" % i), "w", newline="").write(text)
        stuffed = "".join(("." + l if l.startswith(".") else l) + "\r\n" for l in text.split("\r\n")[:-1])
        open(os.path.join(wire, "%04d" % i), "w", newline="").write(stuffed + ".\r\n")
    return plain, wire


class Sink(HeaderHop):
    """The next hop: counts the messages that carry a score of the classifier."""

    def __init__(self):
        self.scored = self.unscored = 0
        super().__init__()

    def on_message(self, recipients, headers):
        scored = any(h.startswith("X-Spam-Score: Hits: ") and "not tested" not in h for h in headers)
        self.scored, self.unscored = self.scored + scored, self.unscored + (not scored)


def measured(command, work, spamd_pids):
    perf = os.path.join(work, "perf.csv")
    before, start = cpu_seconds(spamd_pids), time.time()
    subprocess.run(["perf", "stat", "-x", ",", "-e", "task-clock", "-o", perf, "--"] + command, check=True,
                   stdout=subprocess.DEVNULL)
    return time.time() - start, task_clock_ms(perf), cpu_seconds(spamd_pids) - before


def filter_run(work, spamd_address, spamd_pids, plain):
    home = tempfile.mkdtemp(dir=work)
    os.symlink(HCHECK, os.path.join(home, "HCheck"))
    open(os.path.join(home, "HCheck.ini"), "w").write("[SpamAssassin]\nSpamd=%s\n" % spamd_address)
    sink, port = Sink(), free_port()
    open(os.path.join(home, "quibo.ini"), "w").write(
        "[Settings]\nListenIP=127.0.0.1\nListenPort=%d\nOutgoingIP=127.0.0.1\nOutgoingPort=%d\n"
        "[Heurastic]\nDoHeurastic=1\nMaxMailSize=64\n[LocalDomains]\n0=example.org\n[LocalIP]\n0=127.0.0.1\n"
        % (port, sink.port))
    perf = os.path.join(work, "perf-filter.csv")
    daemon = subprocess.Popen(["perf", "stat", "-x", ",", "-e", "task-clock", "-o", perf, "--", QUIBO,
                               "--home", home], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not wait_port(port, 30):
        raise RuntimeError("quibo did not listen")
    quibo = int(subprocess.run(["pgrep", "-P", str(daemon.pid)], capture_output=True, text=True).stdout.split()[0])
    files = sorted(os.listdir(plain))
    before, start = cpu_seconds(spamd_pids), time.time()
    for name in files:
        with smtplib.SMTP("127.0.0.1", port, timeout=120) as client:
            client.sendmail("sender@example.com", ["rcpt@example.org"], open(os.path.join(plain, name), "rb").read())
    elapsed, spamd_cpu = time.time() - start, cpu_seconds(spamd_pids) - before
    os.kill(quibo, signal.SIGTERM)
    daemon.wait(30)
    if sink.scored != len(files):
        raise RuntimeError("only %d of %d messages were scored" % (sink.scored, len(files)))
    return elapsed, task_clock_ms(perf), spamd_cpu


def summary(name, runs):
    rates = [N / elapsed for elapsed, _, _ in runs]
    cpu = [clock / N for _, clock, _ in runs]
    spamd = [1000 * spamd_cpu / N for _, _, spamd_cpu in runs]
    return ("%-7s n=%d runs=%d  %7.1f msg/s (%.1f-%.1f)  cpu %6.2f ms/msg (%.2f-%.2f)  spamd cpu %6.2f ms/msg"
            % (name, N, len(runs), statistics.median(rates), min(rates), max(rates), statistics.median(cpu),
               min(cpu), max(cpu), statistics.median(spamd)))


def main():
    work = tempfile.mkdtemp(prefix="quibo-classifier-bench-")
    os.chmod(work, 0o755)  # spamd started by root runs as nobody
    spamd = None
    try:
        plain, wire = make_messages(work)
        port = free_port()
        spamd = subprocess.Popen(["spamd", "--local", "--nouser-config", "--listen=127.0.0.1:%d" % port,
                                  "--max-children=2", "--min-children=2", "--max-conn-per-child=1000000",
                                  "--syslog=stderr",
                                  "--helper-home-dir=" + work, "--cf=bayes_path " + work + "/bayes"],
                                 stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "spamd.log"), "w"))
        if not wait_port(port):
            raise RuntimeError("spamd did not come up")
        spamc = "spamc -R -x -d 127.0.0.1 -p %d" % port
        subprocess.run("%s < %s/0000 > /dev/null" % (spamc, plain), shell=True, check=True)  # rules loaded, children warm
        spamd_pids = family(spamd.pid)
        home = os.path.join(work, "home")
        os.makedirs(home)
        os.symlink(HCHECK, os.path.join(home, "HCheck"))
        open(os.path.join(home, "HCheck.ini"), "w").write("[SpamAssassin]\nSpamd=127.0.0.1:%d\n" % port)
        modes = {
            "spamc": lambda: measured(["sh", "-c", 'for f in "$0"/*; do %s < "$f" || exit 1; done' % spamc, plain],
                                      work, spamd_pids),
            "hcheck": lambda: measured(["sh", "-c", 'cd "$0" && for f in "$1"/*; do ./HCheck "$f" || exit 1; done',
                                        home, wire], work, spamd_pids),
            "filter": lambda: filter_run(work, "127.0.0.1:%d" % port, spamd_pids, plain),
        }
        results = {name: [] for name in modes}
        for _ in range(RUNS):  # interleaved, so that a disturbance of the machine touches every mode alike
            for name, run in modes.items():
                results[name].append(run())
        for name in modes:
            print(summary(name, results[name]))
    finally:
        if spamd:
            spamd.terminate()
            spamd.wait(30)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
