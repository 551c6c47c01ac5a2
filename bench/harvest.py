"""A directory-harvest load: SESSIONS sessions (CONC at once) to 127.0.0.1:PORT,
each MAIL FROM then RCPTS guessed recipients of the filter's local domain; when
any is answered 250 the session sends DATA and a SIZE-byte message, as a
harvester that takes what it is given. Prints the replies counted by code:
"rcpt_2xx rcpt_4xx rcpt_5xx end_of_data_2xx end_of_data_4xx end_of_data_5xx"."""
import socket
import sys
import threading

port, sessions, rcpts, conc, size = (int(value) for value in sys.argv[1:6])
counts = {key: 0 for key in ("r2", "r4", "r5", "d2", "d4", "d5")}
lock = threading.Lock()
body = ("Subject: guess\r\n\r\n" + ("x" * 76 + "\r\n") * (size // 78)).encode()


def reply(stream):
    while True:
        line = stream.readline()
        if not line or line[3:4] != b"-":
            return line


def session(number):
    with socket.create_connection(("127.0.0.1", port), timeout=60) as connection:
        stream = connection.makefile("rb")
        reply(stream)
        for command in (b"EHLO harvester.bench.test", b"MAIL FROM:<h@src.bench.test>"):
            connection.sendall(command + b"\r\n")
            reply(stream)
        taken = 0
        for guess in range(rcpts):
            connection.sendall(b"RCPT TO:<guess%d-%d@dst.bench.test>\r\n" % (number, guess))
            code = reply(stream)[:1].decode(errors="replace")
            with lock:
                counts["r" + code] = counts.get("r" + code, 0) + 1
            taken += code == "2"
        if taken:
            connection.sendall(b"DATA\r\n")
            if reply(stream)[:1] == b"3":
                connection.sendall(body + b".\r\n")
                code = reply(stream)[:1].decode(errors="replace")
                with lock:
                    counts["d" + code] = counts.get("d" + code, 0) + 1
        connection.sendall(b"QUIT\r\n")
        reply(stream)


def worker(first):
    for number in range(first, sessions, conc):
        session(number)


threads = [threading.Thread(target=worker, args=(first,)) for first in range(conc)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print(" ".join(str(counts[key]) for key in ("r2", "r4", "r5", "d2", "d4", "d5")))
