#!/usr/bin/env python3
"""Full filtering at speed, loopback only: the same 5 KB message, N times at
concurrency CONC, through

  rspamd alone          rspamc -n CONC over N copies (rspamd's own rate), each
                        with the request headers the filter gives rspamd
  filter                smtp-source -> quibo -> smtp-sink, nothing checked
  filter+clamd          the filter asking clamd (ClamdSocket)
  filter+rspamd         the filter's classifier: HCheck -> rspamd
  filter+clamd+rspamd   both
  filter+rspamd own     the filter asking rspamd itself (RspamdUrl) with the
                        envelope (client, HELO, sender, recipient, queue id),
                        rspamd's actions obeyed
  filter+clamd+rspamd own  both, the filter asking each itself
  postfix+rspamd        smtp-source -> Postfix with rspamd's proxy worker as
                        its milter (scanning itself) -> smtp-sink
  postfix+rspamd+clamd  the same with rspamd's antivirus module asking clamd
                        about the whole message (a second rspamd, so that the
                        filter's never scans twice)

each RUNS times, interleaved (MODES, a comma-separated list of the names
above, runs only those). For every mode: messages per second until the
sink has them all, and CPU milliseconds per message of every daemon (control
groups: children included), the filter's own apart from HCheck's, and the
client's and the sink's (the client being smtp-source or rspamc). Called by
bench/full-filtering.sh; prints result lines on standard output."""
import os, random, resource, shutil, statistics, subprocess, sys, tempfile, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchpeers import Clamd, Filter, Postfix, Rspamd, SmtpSink, free_port  # noqa: E402

N = int(os.environ.get("N", "2000"))
CONC = int(os.environ.get("CONC", "10"))
RUNS = int(os.environ.get("RUNS", "3"))
SIZE = int(os.environ.get("SIZE", "5120"))
MODES = [name.strip() for name in os.environ.get("MODES", "").split(",") if name.strip()]
WORDS = ("meeting report budget offer project lunch invoice schedule weekend release notes review customer order "
         "shipping account holiday agenda draft contract update team office travel plan quarter figures").split()
# The envelope smtp-source gives the filter, which the filter passes on to rspamd (and rspamc gives rspamd alone).
ENVELOPE = {"helo": "client.bench.test", "from": "sender@src.bench.test", "rcpt": "rcpt@dst.bench.test"}


def make_message(work):
    """One message of about SIZE bytes, lines ending in LF (smtp-source -F adds the CR)."""
    rng = random.Random(11)
    body = []
    while sum(len(line) + 2 for line in body) < SIZE - 300:
        body.append(" ".join(rng.choice(WORDS) for _ in range(11)).capitalize() + ".")
    text = ("From: Alice Example <alice@src.bench.test>\nTo: Bob <rcpt@dst.bench.test>\nSubject: Quarterly figures\n"
            "Date: Wed, 09 Dec 2026 10:00:00 +0000\nMessage-ID: <full-filtering@src.bench.test>\nMIME-Version: 1.0\n"
            "Content-Type: text/plain; charset=us-ascii\n\n" + "\n".join(body) + "\n")
    path = os.path.join(work, "message.eml")
    with open(path, "w") as out:
        out.write(text)
    copies = os.path.join(work, "copies")
    os.makedirs(copies)
    for i in range(N):
        os.link(path, os.path.join(copies, "%05d.eml" % i))
    return path, copies


class Mode:
    def __init__(self, name, run):
        self.name, self.run, self.results = name, run, []


def client_cpu():
    """CPU seconds of the finished clients this script ran."""
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def through_smtp(port, message, sink, meters):
    """smtp-source into port until the sink has counted N more: rate and CPU seconds per meter."""
    meters = dict(meters, client=client_cpu, sink=sink.cpu)
    before, cpu_before = sink.count(), {name: meter() for name, meter in meters.items()}
    start = time.time()
    subprocess.run(["smtp-source", "-s", str(CONC), "-m", str(N), "-F", message, "-M", ENVELOPE["helo"],
                    "-f", ENVELOPE["from"], "-t", ENVELOPE["rcpt"], "127.0.0.1:%d" % port],
                   check=True, timeout=1800)
    deadline = time.time() + 600
    while sink.count() - before < N and time.time() < deadline:
        time.sleep(0.05)
    elapsed = time.time() - start
    delivered = sink.count() - before
    if delivered < N:
        raise RuntimeError("only %d of %d messages reached the sink" % (delivered, N))
    return N / elapsed, {name: meter() - cpu_before[name] for name, meter in meters.items()}


def rspamd_alone(rspamd, copies):
    before, client_before = rspamd.cpu(), client_cpu()
    start = time.time()
    # The request the filter makes: the envelope, the client's confirmed name, the recipient's domain, a queue id
    # and the filter's name, so that rspamd does the same work for both.
    envelope = ["--ip", "127.0.0.1", "--helo", ENVELOPE["helo"], "--from", ENVELOPE["from"], "--rcpt", ENVELOPE["rcpt"],
                "--hostname", "localhost", "--deliver", ENVELOPE["rcpt"].split("@")[1],
                "--header", "Settings-Id: " + ENVELOPE["rcpt"].split("@")[1], "--header", "Queue-Id: 0123456789AB",
                "--header", "MTA-Name: filter.bench.test"]
    finished = subprocess.run(["rspamc", "-h", "127.0.0.1:%d" % rspamd.normal_port, "-n", str(CONC)] + envelope +
                              [copies],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=1800)
    elapsed = time.time() - start
    scanned = finished.stdout.count(b"Action:")
    if finished.returncode != 0 or scanned != N:
        raise RuntimeError("rspamc scanned %d of %d messages" % (scanned, N))
    return N / elapsed, {"rspamd": rspamd.cpu() - before, "client": client_cpu() - client_before}


def summary(mode):
    rates = [rate for rate, _ in mode.results]
    line = "%-24s %7.1f msg/s (%.1f-%.1f)" % (mode.name, statistics.median(rates), min(rates), max(rates))
    total = []
    for name in mode.results[0][1]:
        per_message = [1000 * cpu[name] / N for _, cpu in mode.results]
        line += "  %s %.3f" % (name, statistics.median(per_message))
        total.append(statistics.median(per_message))
    return line + "  = %.3f ms CPU per message" % sum(total)


def main():
    work = tempfile.mkdtemp(prefix="quibo-full-filtering-")
    os.chmod(work, 0o755)
    started = []

    def start(peer):
        started.append(peer)
        return peer

    try:
        message, copies = make_message(work)
        sink = start(SmtpSink(work))
        clamd = start(Clamd(work))
        plain_milter, antivirus_milter = free_port(), free_port()
        rspamd = start(Rspamd(os.path.join(work, "a"), milter_port=plain_milter))
        rspamd_av = start(Rspamd(os.path.join(work, "b"), milter_port=antivirus_milter, clamd_socket=clamd.socket))
        hcheck = "[HCheck]\nBackend=rspamd\n[Rspamd]\nUrl=%s\nControllerUrl=%s\n" % (rspamd.url(),
                                                                                  rspamd.controller_url())
        scan = "[VirusCheck]\nDoVirusCheck=1\nClamdSocket=%s\n" % clamd.socket
        classify = "[Heurastic]\nDoHeurastic=1\nMaxMailSize=1024\n"
        classify_own = classify + "RspamdUrl=%s\n" % rspamd.url()
        filters = {name: start(Filter(work, "quibo-" + name, settings, hcheck, sink.port))
                   for name, settings in (("plain", ""), ("clamd", scan), ("rspamd", classify),
                                          ("both", scan + classify), ("rspamd-own", classify_own),
                                          ("both-own", scan + classify_own))}
        postfix = start(Postfix(os.path.join(work, "pa"), sink.port, plain_milter))
        postfix_av = start(Postfix(os.path.join(work, "pb"), sink.port, antivirus_milter))

        def via_filter(name, *peers):
            quibo = filters[name]
            meters = {"quibo": quibo.own_cpu}
            if name in ("rspamd", "both"):  # the HCheck runs it reaped
                meters["HCheck"] = lambda: quibo.cpu() - quibo.own_cpu()
            meters.update({peer_name: peer.cpu for peer_name, peer in peers})
            return lambda: through_smtp(quibo.port, message, sink, meters)

        def via_postfix(relay, scanner):
            meters = {"postfix": relay.cpu, "rspamd": scanner.cpu}
            if scanner is rspamd_av:
                meters["clamd"] = clamd.cpu
            return lambda: through_smtp(relay.port, message, sink, meters)

        modes = [
            Mode("rspamd alone", lambda: rspamd_alone(rspamd, copies)),
            Mode("filter", via_filter("plain")),
            Mode("filter+clamd", via_filter("clamd", ("clamd", clamd))),
            Mode("filter+rspamd", via_filter("rspamd", ("rspamd", rspamd))),
            Mode("filter+clamd+rspamd", via_filter("both", ("clamd", clamd), ("rspamd", rspamd))),
            Mode("filter+rspamd own", via_filter("rspamd-own", ("rspamd", rspamd))),
            Mode("filter+clamd+rspamd own", via_filter("both-own", ("clamd", clamd), ("rspamd", rspamd))),
            Mode("postfix+rspamd", via_postfix(postfix, rspamd)),
            Mode("postfix+rspamd+clamd", via_postfix(postfix_av, rspamd_av)),
        ]
        if MODES:
            modes = [mode for mode in modes if mode.name in MODES]
        for mode in modes:  # warm-up, not counted: rspamd compiles its rules' expressions on first use
            mode.run()
        for _ in range(RUNS):  # interleaved, so that a disturbance of the machine touches every mode alike
            for mode in modes:
                mode.results.append(mode.run())
        for mode in modes:
            print(summary(mode))
        rate = {mode.name: statistics.median(r for r, _ in mode.results) for mode in modes}
        for goal in ("filter+rspamd", "filter+clamd+rspamd", "filter+rspamd own", "filter+clamd+rspamd own"):
            if goal in rate and "rspamd alone" in rate:
                print("%s: %.0f %% of rspamd's own rate" % (goal, 100 * rate[goal] / rate["rspamd alone"]))
        if "filter+rspamd own" in rate and "postfix+rspamd" in rate:
            print("filter+rspamd own: %.1f times Postfix with rspamd as its milter"
                  % (rate["filter+rspamd own"] / rate["postfix+rspamd"]))
        if "filter+clamd" in rate and "filter" in rate:
            print("filter+clamd: %.0f %% of the unscanned rate" % (100 * rate["filter+clamd"] / rate["filter"]))
    finally:
        for peer in reversed(started):
            peer.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
