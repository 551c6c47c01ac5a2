#!/usr/bin/env python3
"""A TLS client for the filter's end-to-end tests, over Python's ssl module.

tls_client.py PORT inject         STARTTLS and NOOP in one plain write; prints what came
                                  back before the handshake and the first reply inside TLS
tls_client.py PORT broken-record  a handshake, then bytes that are no TLS record; prints
                                  whether the server closed the connection
tls_client.py PORT hold GO_FILE   a handshake, then waits until GO_FILE exists and sends
                                  NOOP; prints the certificate's subject and the reply
Every reply is printed on a line of its own as "name: text" with CR LF shown as |.
"""
import os
import socket
import ssl
import sys
import time


def read_reply(stream):
    """One whole SMTP reply (all its lines)."""
    data = b""
    while True:
        chunk = stream.recv(4096)
        if not chunk:
            return data.decode(errors="replace")
        data += chunk
        lines = data.split(b"\r\n")
        if len(lines) > 1 and len(lines[-2]) >= 4 and lines[-2][3:4] == b" " and data.endswith(b"\r\n"):
            return data.decode(errors="replace")


def show(name, text):
    print(name + ": " + text.replace("\r\n", "|"), flush=True)


def start_tls(port, pipelined=b""):
    plain = socket.create_connection(("127.0.0.1", port), timeout=10)
    read_reply(plain)
    plain.sendall(b"EHLO client.test\r\n")
    show("ehlo", read_reply(plain))
    plain.sendall(b"STARTTLS\r\n" + pipelined)
    show("starttls", read_reply(plain))
    if pipelined:
        # Anything the server answered to the injected command would arrive now, in plain text.
        plain.settimeout(0.5)
        try:
            extra = plain.recv(4096, socket.MSG_PEEK)
        except socket.timeout:
            extra = b""
        show("plain-after-starttls", extra.decode(errors="replace"))
        plain.settimeout(10)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    secure = context.wrap_socket(plain, server_hostname="localhost")
    show("tls", secure.version() + " " + secure.cipher()[0])
    return plain, secure


def main():
    port, mode = int(sys.argv[1]), sys.argv[2]
    if mode == "inject":
        _, secure = start_tls(port, b"NOOP\r\n")
        secure.sendall(b"EHLO again.test\r\n")
        show("first-in-tls", read_reply(secure))
    elif mode == "broken-record":
        _, secure = start_tls(port)
        raw = socket.fromfd(secure.fileno(), socket.AF_INET, socket.SOCK_STREAM)  # under the TLS layer
        raw.sendall(b"\x17\x03\x03\x00\x20" + os.urandom(32))  # application data that does not decrypt
        raw.settimeout(10)
        try:
            while raw.recv(4096):  # the server's alert, then the end
                pass
            closed = True
        except ConnectionResetError:
            closed = True
        except socket.timeout:
            closed = False
        show("closed", str(closed))
    elif mode == "hold":
        _, secure = start_tls(port)
        secure.sendall(b"EHLO again.test\r\n")
        read_reply(secure)
        show("ready", "yes")
        while not os.path.exists(sys.argv[3]):
            time.sleep(0.05)
        secure.sendall(b"NOOP\r\n")
        show("noop", read_reply(secure))


main()
