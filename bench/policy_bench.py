"""Pieces of the policy benchmark, loopback only.

  dns PORT ZONE:DELAY_MS[:silent] ...   a DNS server answering 127.0.0.2 for every
                                        name under a zone after its delay (or never)
  rtt DNS_PORT NAME COUNT               the DNS server's own answer time for a name
  mail PORT COUNT                       MAIL FROM latency over COUNT sessions, one after another
  load PORT COUNT CONCURRENCY MODE      sessions per second; MODE refuse (until the 521 of
                                        MAIL) or relay (a 5 KB message each)
Times are printed in milliseconds: "median p99".
"""
import asyncio
import random
import socket
import statistics
import struct
import sys
import time


def percentiles(samples):
    samples = sorted(samples)
    return statistics.median(samples), samples[min(len(samples) - 1, int(len(samples) * 0.99))]


def query_packet(name, ident):
    packet = struct.pack(">HHHHHH", ident, 0x0100, 1, 0, 0, 0)
    for label in name.split("."):
        packet += bytes([len(label)]) + label.encode()
    return packet + b"\x00\x00\x01\x00\x01"


def question_end(packet):
    at = 12
    while packet[at]:
        at += packet[at] + 1
    return at + 5


def question_name(packet):
    labels, at = [], 12
    while packet[at]:
        labels.append(packet[at + 1:at + 1 + packet[at]].decode())
        at += packet[at] + 1
    return ".".join(labels).lower()


def serve_dns(port, zone_lines):
    zones = []
    for line in zone_lines:
        parts = line.split(":")
        zones.append((parts[0].lower(), float(parts[1]) / 1000, len(parts) > 2))

    class Server(asyncio.DatagramProtocol):
        def connection_made(self, transport):
            self.transport = transport

        def datagram_received(self, data, peer):
            name = question_name(data)
            end = question_end(data)
            for zone, delay, silent in zones:
                if name.endswith("." + zone):
                    if silent:
                        return
                    reply = data[:2] + b"\x81\x80" + struct.pack(">HHHH", 1, 1, 0, 0) + data[12:end]
                    reply += b"\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04" + socket.inet_aton("127.0.0.2")
                    asyncio.get_running_loop().call_later(delay, self.transport.sendto, reply, peer)
                    return
            self.transport.sendto(data[:2] + b"\x81\x83" + struct.pack(">HHHH", 1, 0, 0, 0) + data[12:end], peer)

    loop = asyncio.new_event_loop()
    loop.run_until_complete(loop.create_datagram_endpoint(Server, local_addr=("127.0.0.1", port)))
    loop.run_forever()


def dns_rtt(port, name, count):
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    probe.settimeout(5)
    samples = []
    for _ in range(count):
        ident = random.randrange(65536)
        started = time.perf_counter()
        probe.sendto(query_packet(name, ident), ("127.0.0.1", port))
        while struct.unpack(">H", probe.recv(512)[:2])[0] != ident:
            pass
        samples.append((time.perf_counter() - started) * 1000)
    return percentiles(samples)


def read_reply(stream):
    lines = b""
    while True:
        line = stream.readline()
        if not line:
            return lines
        lines += line
        if line[3:4] != b"-":
            return lines


def mail_latency(port, count):
    samples = []
    for _ in range(count):
        with socket.create_connection(("127.0.0.1", port)) as connection:
            connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            stream = connection.makefile("rb")
            read_reply(stream)
            connection.sendall(b"EHLO bench.test\r\n")
            read_reply(stream)
            started = time.perf_counter()
            connection.sendall(b"MAIL FROM:<sender@far.example>\r\n")
            reply = read_reply(stream)
            samples.append((time.perf_counter() - started) * 1000)
            if not reply.startswith(b"250"):
                sys.exit("unexpected MAIL reply: %r" % reply)
            connection.sendall(b"QUIT\r\n")
            read_reply(stream)
    return percentiles(samples)


async def session(port, mode, body, outcome):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)

    async def reply():
        while True:
            line = await reader.readline()
            if not line or line[3:4] != b"-":
                return line

    async def command(text):
        writer.write(text)
        return await reply()

    await reply()
    await command(b"EHLO bench.test\r\n")
    if mode == "refuse":
        outcome.append((await command(b"MAIL FROM:<sender@far.example>\r\n"))[:3])
    else:
        await command(b"MAIL FROM:<friend@bench.test>\r\n")
        await command(b"RCPT TO:<rcpt@local.example>\r\n")
        await command(b"DATA\r\n")
        outcome.append((await command(body + b".\r\n"))[:3])
        await command(b"QUIT\r\n")
    writer.close()


async def load(port, count, concurrency, mode):
    body = b"Subject: bench\r\n\r\n" + b"".join(b"%-77d\r\n" % i for i in range(64))
    outcome, gate = [], asyncio.Semaphore(concurrency)

    async def one():
        async with gate:
            await session(port, mode, body, outcome)

    started = time.perf_counter()
    await asyncio.gather(*(one() for _ in range(count)))
    elapsed = time.perf_counter() - started
    expected = b"521" if mode == "refuse" else b"250"
    good = sum(1 for code in outcome if code == expected)
    return count / elapsed, good


def main():
    command = sys.argv[1]
    if command == "dns":
        serve_dns(int(sys.argv[2]), sys.argv[3:])
    elif command == "rtt":
        print("%.3f %.3f" % dns_rtt(int(sys.argv[2]), sys.argv[3], int(sys.argv[4])))
    elif command == "mail":
        print("%.3f %.3f" % mail_latency(int(sys.argv[2]), int(sys.argv[3])))
    elif command == "load":
        rate, good = asyncio.run(load(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]))
        print("%.1f %d" % (rate, good))


if __name__ == "__main__":
    main()
