"""The peers the filtering benchmarks start, each on free loopback ports in a
work folder of the benchmark's, and the measurements they share. Nothing here
asks this machine's resolver: rspamd's DNS goes to a fake server that answers
NXDOMAIN to everything, and every daemon listens on 127.0.0.1 only.

CPU is counted per daemon with a cpuacct control group (Linux cgroup v1, or
the cpu.stat of cgroup v2), so that the processes a daemon starts and reaps
(rspamd's workers, Postfix's smtpd and cleanup, the filter's HCheck runs)
count too. Used by classifier.py, catch_rate.py and full_filtering.py."""
import os, shutil, signal, socket, struct, subprocess, threading, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
QUIBO = os.path.join(ROOT, "build", "quibo")
HCHECK = os.path.join(ROOT, "build", "HCheck")
RSPAMD_PASSWORD = "quibo-bench"
EICAR_SIGNATURE = "Eicar-Test-Signature:0:*:45494341522d5354414e444152442d414e544956495255532d544553542d46494c45"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, limit=120, process=None):
    deadline = time.time() + limit
    while time.time() < deadline:
        if process is not None and process.poll() is not None:
            return False
        try:
            socket.create_connection(("127.0.0.1", port), 1).close()
            return True
        except OSError:
            time.sleep(0.2)
    return False


def wait_path(path, limit=60):
    deadline = time.time() + limit
    while time.time() < deadline and not os.path.exists(path):
        time.sleep(0.1)
    return os.path.exists(path)


def cpu_seconds(pids):
    """CPU of processes from /proc: their own (all threads), not their children's."""
    total = 0
    for pid in pids:
        try:
            fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])  # utime, stime
        except OSError:
            pass
    return total / os.sysconf("SC_CLK_TCK")


def children_cpu_seconds(pid):
    """CPU of the children a process has reaped (cutime, cstime)."""
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[13]) + int(fields[14])) / os.sysconf("SC_CLK_TCK")


def family(pid):
    found = [pid]
    for child in subprocess.run(["pgrep", "-P", str(pid)], capture_output=True, text=True).stdout.split():
        found += family(int(child))
    return found


def task_clock_ms(perf_output):
    for line in open(perf_output):
        parts = line.strip().split(",")
        if len(parts) > 2 and parts[2].startswith("task-clock"):
            return float(parts[0])
    raise RuntimeError("no task-clock in " + perf_output)


class CpuGroup:
    """A control group that a daemon is started in: the CPU of every process
    it ever held, the exited ones included."""
    V1 = "/sys/fs/cgroup/cpuacct"
    V2 = "/sys/fs/cgroup/unified" if os.path.exists("/sys/fs/cgroup/unified/cgroup.procs") else "/sys/fs/cgroup"

    def __init__(self, name):
        base = self.V1 if os.path.isdir(self.V1) else self.V2
        self.path = os.path.join(base, "quibo-bench-%d-%s" % (os.getpid(), name))
        os.makedirs(self.path, exist_ok=True)
        self.v1 = base == self.V1

    def enter(self):  # runs in the child, before exec
        with open(os.path.join(self.path, "cgroup.procs"), "w") as procs:
            procs.write(str(os.getpid()))

    def seconds(self):
        if self.v1:
            return int(open(os.path.join(self.path, "cpuacct.usage")).read()) / 1e9
        for line in open(os.path.join(self.path, "cpu.stat")):
            if line.startswith("usage_usec"):
                return int(line.split()[1]) / 1e6
        raise RuntimeError("no usage_usec in " + self.path)

    def remove(self):
        for _ in range(50):
            try:
                os.rmdir(self.path)
                return
            except OSError:
                time.sleep(0.1)


class HeaderHop(threading.Thread):
    """A next hop in Python that takes every message and hands its
    recipients and its header lines (folded ones joined) to on_message."""

    def __init__(self):
        super().__init__(daemon=True)
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        self.start()

    def on_message(self, recipients, headers):
        raise NotImplementedError

    def run(self):
        while True:
            connection, _ = self.server.accept()
            threading.Thread(target=self.serve, args=(connection,), daemon=True).start()

    def serve(self, connection):
        stream, recipients = connection.makefile("rb"), []
        connection.sendall(b"220 hop\r\n")
        for line in stream:
            word = line[:4].upper()
            if word == b"RCPT":
                recipients.append(line.split(b"<", 1)[1].split(b">", 1)[0].decode())
                connection.sendall(b"250 ok\r\n")
            elif word == b"DATA":
                connection.sendall(b"354 go\r\n")
                headers, in_headers = [], True
                for body in stream:
                    if body == b".\r\n":
                        break
                    if in_headers:
                        text = body.decode("latin-1").rstrip("\r\n")
                        if not text:
                            in_headers = False
                        elif text[0] in " \t" and headers:
                            headers[-1] += " " + text.strip()
                        else:
                            headers.append(text)
                self.on_message(recipients, headers)
                recipients = []
                connection.sendall(b"250 ok\r\n")
            elif word == b"QUIT":
                connection.sendall(b"221 bye\r\n")
                break
            else:
                connection.sendall(b"250 ok\r\n")
        connection.close()


class Daemon:
    """A server process in its own control group, stopped with SIGTERM (SIGKILL after 20 s)."""

    def __init__(self, name, command, log, **options):
        self.name, self.group = name, CpuGroup(name)
        self.process = subprocess.Popen(command, stdout=open(log, "w"), stderr=subprocess.STDOUT,
                                        preexec_fn=self.group.enter, **options)

    def cpu(self):
        return self.group.seconds()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.group.remove()


class FakeDns(threading.Thread):
    """Answers NXDOMAIN to every query, on UDP."""

    def __init__(self):
        super().__init__(daemon=True)
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind(("127.0.0.1", 0))
        self.port = self.socket.getsockname()[1]
        self.start()

    def run(self):
        while True:
            query, peer = self.socket.recvfrom(4096)
            if len(query) < 12:
                continue
            ident, flags = struct.unpack(">HH", query[:4])
            answer_flags = 0x8000 | (flags & 0x7900) | 0x0080 | 3  # response, opcode and RD kept, RA, NXDOMAIN
            self.socket.sendto(struct.pack(">HHHHHH", ident, answer_flags, 1, 0, 0, 0) + query[12:], peer)


class Rspamd:
    """rspamd with Debian's stock configuration and a local folder of ours
    (as the filter's tests start it): a Redis for Bayes, the network modules
    off, DNS to the fake server, autolearning off. With milter_port, the proxy
    worker listens there in milter mode and scans itself; with clamd_socket,
    rspamd's antivirus module asks that clamd about the whole message."""
    NETWORK_MODULES = ("rbl fuzzy_check phishing asn spf dkim dmarc arc hfilter emails url_redirector rspamd_update "
                       "replies ratelimit greylist history_redis neural reputation dcc mx_check whitelist").split()

    def __init__(self, work, workers=2, milter_port=None, clamd_socket=None):
        self.folder = os.path.join(work, "rspamd")
        for sub in ("local/local.d", "local/override.d", "db", "run", "log", "redis"):
            os.makedirs(os.path.join(self.folder, sub))
        self.normal_port, self.controller_port, self.redis_port = free_port(), free_port(), free_port()
        self.dns = FakeDns()
        self.redis = Daemon("redis", ["redis-server", "--port", str(self.redis_port), "--bind", "127.0.0.1", "--dir",
                                      os.path.join(self.folder, "redis"), "--save", "", "--appendonly", "no"],
                            os.path.join(self.folder, "redis.log"))
        self.configure(workers, milter_port, clamd_socket)
        self.daemon = Daemon("rspamd", ["rspamd", "-f", "-i", "-c", "/etc/rspamd/rspamd.conf",
                                        "--var=LOCAL_CONFDIR=" + os.path.join(self.folder, "local"),
                                        "--var=DBDIR=" + os.path.join(self.folder, "db"),
                                        "--var=RUNDIR=" + os.path.join(self.folder, "run"),
                                        "--var=LOGDIR=" + os.path.join(self.folder, "log")],
                             os.path.join(self.folder, "rspamd.out"))
        ports = [self.normal_port, self.controller_port] + ([milter_port] if milter_port else [])
        if not all(wait_port(port, 180, self.daemon.process) for port in ports):
            raise RuntimeError("rspamd did not come up: see " + self.folder)

    def write(self, name, text):
        with open(os.path.join(self.folder, "local", name), "w") as out:
            out.write(text)

    def configure(self, workers, milter_port, clamd_socket):
        local = os.path.join(self.folder, "local")
        self.write("override.d/worker-normal.inc",
                   'bind_socket = "127.0.0.1:%d";\ncount = %d;\n' % (self.normal_port, workers))
        self.write("override.d/worker-controller.inc",
                   'bind_socket = "127.0.0.1:%d";\npassword = "%s";\nsecure_ip = "192.0.2.1";\n'
                   % (self.controller_port, RSPAMD_PASSWORD))
        if milter_port:
            self.write("override.d/worker-proxy.inc",
                       'bind_socket = "127.0.0.1:%d";\nmilter = yes;\ntimeout = 120s;\ncount = %d;\n'
                       'upstream "local" { default = yes; self_scan = yes; }\n' % (milter_port, workers))
        else:
            self.write("override.d/worker-proxy.inc", "count = -1;\n")
        self.write("tld.dat", "com\norg\nnet\nedu\nuk\nde\nie\nau\nca\ntest\n")
        self.write("override.d/options.inc", 'dns { nameserver = ["127.0.0.1:%d"]; }\nurl_tld = "%s/tld.dat";\n'
                   % (self.dns.port, local))
        self.write("override.d/logging.inc", 'type = "file";\nfilename = "%s/log/rspamd.log";\nlevel = "warning";\n'
                   % self.folder)
        redis = 'servers = "127.0.0.1:%d";\n' % self.redis_port
        # With the antivirus module Redis serves Bayes only: given Redis, the module keeps the results of
        # messages it scanned, and a benchmark that sends one message many times would measure that cache.
        if not clamd_socket:
            self.write("local.d/redis.conf", redis)
        self.write("local.d/classifier-bayes.conf", redis + "autolearn = false;\n")
        for module in self.NETWORK_MODULES:
            self.write("local.d/%s.conf" % module, "enabled = false;\n")
        if clamd_socket:
            self.write("local.d/antivirus.conf", 'clamav {\n  type = "clamav";\n  servers = "%s";\n'
                       '  scan_mime_parts = false;\n  symbol = "CLAM_VIRUS";\n  action = "reject";\n}\n'
                       % clamd_socket)

    def url(self):
        return "http://127.0.0.1:%d" % self.normal_port

    def controller_url(self):
        return "http://127.0.0.1:%d" % self.controller_port

    def cpu(self):
        return self.daemon.cpu()

    def stop(self):
        self.daemon.stop()
        self.redis.stop()


class Clamd:
    """clamd with a one-signature database (EICAR), on a Unix socket."""

    def __init__(self, work):
        self.folder = os.path.join(work, "clamd")
        os.makedirs(os.path.join(self.folder, "db"))
        os.chmod(self.folder, 0o755)
        with open(os.path.join(self.folder, "db", "eicar.ndb"), "w") as db:
            db.write(EICAR_SIGNATURE + "\n")
        self.socket = os.path.join(self.folder, "clamd.sock")
        config = os.path.join(self.folder, "clamd.conf")
        with open(config, "w") as out:
            out.write("LocalSocket %s\nLocalSocketMode 666\nDatabaseDirectory %s/db\nTemporaryDirectory %s\n"
                      "Foreground yes\nLogFile %s/clamd.log\n" % (self.socket, self.folder, self.folder, self.folder))
        self.daemon = Daemon("clamd", ["clamd", "--config-file=" + config], os.path.join(self.folder, "clamd.out"))
        if not wait_path(self.socket):
            raise RuntimeError("clamd did not come up")

    def cpu(self):
        return self.daemon.cpu()

    def stop(self):
        self.daemon.stop()


class Spamd:
    """spamd with local tests only and the Bayes database at bayes_path; no autolearning."""

    def __init__(self, work, bayes_path, children=2):
        self.port = free_port()
        home = os.path.join(work, "spamd-home")
        os.makedirs(home)
        os.chmod(work, 0o755)  # spamd started by root runs as nobody
        for folder in (home, os.path.dirname(bayes_path)):
            shutil.chown(folder, "nobody")
        self.daemon = Daemon("spamd", ["spamd", "--local", "--nouser-config", "--listen=127.0.0.1:%d" % self.port,
                                       "--max-children=%d" % children, "--min-children=%d" % children,
                                       "--max-conn-per-child=1000000", "--syslog=stderr", "--helper-home-dir=" + home,
                                       "--cf=bayes_path " + bayes_path, "--cf=bayes_auto_learn 0"],
                             os.path.join(work, "spamd.log"))
        if not wait_port(self.port, 180, self.daemon.process):
            raise RuntimeError("spamd did not come up")

    def cpu(self):
        return self.daemon.cpu()

    def stop(self):
        self.daemon.stop()


class SmtpSink:
    """Postfix's smtp-sink as the next hop: takes everything, counts messages."""

    def __init__(self, work):
        self.port, self.log = free_port(), os.path.join(work, "sink-%d.log" % os.getpid())
        self.daemon = Daemon("sink", ["smtp-sink", "-u", "postfix", "-c", "127.0.0.1:%d" % self.port, "1024"],
                             self.log)
        if not wait_port(self.port, 30, self.daemon.process):
            raise RuntimeError("smtp-sink did not come up")

    def count(self):
        text = open(self.log, "rb").read().decode("latin-1").replace("\r", "\n")
        counts = [int(part.split("mesg=")[1].split()[0]) for part in text.split("\n") if "mesg=" in part]
        return counts[-1] if counts else 0

    def cpu(self):
        return self.daemon.cpu()

    def stop(self):
        self.daemon.stop()


class Filter:
    """The filter in a home folder of its own, with HCheck beside it."""

    def __init__(self, work, name, settings, hcheck_settings="", next_hop_port=None):
        self.home = os.path.join(work, name)
        os.makedirs(self.home)
        os.symlink(HCHECK, os.path.join(self.home, "HCheck"))
        self.port = free_port()
        with open(os.path.join(self.home, "HCheck.ini"), "w") as out:
            out.write(hcheck_settings)
        with open(os.path.join(self.home, "quibo.ini"), "w") as out:
            out.write("[Settings]\nListenIP=127.0.0.1\nListenPort=%d\nOutgoingIP=127.0.0.1\nOutgoingPort=%d\n"
                      "MailHostName=filter.bench.test\nMaxConnectionsPerIp=0\n[LocalDomains]\n0=dst.bench.test\n%s\n"
                      % (self.port, next_hop_port, settings))
        self.daemon = Daemon(name, [QUIBO, "--home", self.home], os.path.join(work, name + ".out"))
        if not wait_port(self.port, 30, self.daemon.process):
            raise RuntimeError("the filter did not listen: see " + self.home)

    def own_cpu(self):
        """The filter's own CPU, without the HCheck runs it reaped."""
        return cpu_seconds([self.daemon.process.pid])

    def cpu(self):
        return self.daemon.cpu()

    def stop(self):
        self.daemon.stop()


class Postfix:
    """A Postfix relay of its own (configuration and queue in the work folder),
    relaying to next_hop_port, with rspamd's milter when milter_port is set."""

    def __init__(self, work, next_hop_port, milter_port=None):
        self.folder, self.port = os.path.join(work, "postfix"), free_port()
        etc, spool, data = (os.path.join(self.folder, sub) for sub in ("etc", "spool", "data"))
        for folder in (etc, spool, data):
            os.makedirs(folder)
        shutil.chown(data, "postfix")
        shutil.copy("/etc/postfix/dynamicmaps.cf", etc)
        master = []
        for line in open("/etc/postfix/master.cf"):
            fields = line.split()
            if fields[:2] == ["smtp", "inet"]:
                line = "127.0.0.1:%d inet n - n - - smtpd\n" % self.port
            elif len(fields) >= 8 and not line[0].isspace() and not line.startswith("#"):
                fields[4] = "n"  # nothing chrooted
                line = " ".join(fields) + "\n"
            master.append(line)
        with open(os.path.join(etc, "master.cf"), "w") as out:
            out.writelines(master)
        milter = ("smtpd_milters = inet:127.0.0.1:%d\nmilter_default_action = tempfail\nmilter_protocol = 6\n"
                  % milter_port) if milter_port else ""
        with open(os.path.join(etc, "main.cf"), "w") as out:
            out.write("""compatibility_level = 3.6
queue_directory = {spool}
data_directory = {data}
meta_directory = /etc/postfix
shlib_directory = /usr/lib/postfix
daemon_directory = /usr/lib/postfix/sbin
command_directory = /usr/sbin
mail_owner = postfix
setgid_group = postdrop
maillog_file_prefixes = /var, /dev/stdout, {folder}
maillog_file = {folder}/maillog
myhostname = relay.bench.test
inet_interfaces = loopback-only
inet_protocols = ipv4
mydestination =
local_recipient_maps =
local_transport = error:5.1.1 local delivery disabled
alias_maps =
alias_database =
relay_domains =
relayhost = [127.0.0.1]:{hop}
mynetworks = 127.0.0.0/8
smtpd_relay_restrictions = permit_mynetworks, reject_unauth_destination
smtpd_peername_lookup = no
smtp_dns_support_level = disabled
smtp_tls_security_level = none
smtpd_tls_security_level = none
default_process_limit = 100
biff = no
{milter}""".format(spool=spool, data=data, folder=self.folder, hop=next_hop_port, milter=milter))
        subprocess.run(["postfix", "-c", etc, "check"], check=True)
        # "postfix start-fg" keeps the master in front, in our control group with everything it starts
        self.daemon = Daemon("postfix", ["postfix", "-c", etc, "start-fg"], os.path.join(self.folder, "master.out"))
        if not wait_port(self.port, 30, self.daemon.process):
            raise RuntimeError("postfix did not listen: see " + self.folder)

    def cpu(self):
        return self.daemon.cpu()

    def stop(self):
        subprocess.run(["postfix", "-c", os.path.join(self.folder, "etc"), "stop"], capture_output=True)
        self.daemon.stop()
