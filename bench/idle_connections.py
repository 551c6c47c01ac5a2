"""Opens COUNT connections to 127.0.0.1:PORT, reads each greeting, holds them
idle, prints the resident memory (kB) of process PID and how long a new
connection then waits for its greeting (median and slowest of 20, in ms),
then closes them."""
import socket
import statistics
import sys
import time

port, count, pid = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
connections = []
for _ in range(count):
    connection = socket.create_connection(("127.0.0.1", port), timeout=30)
    connection.recv(512)  # the greeting: the session is set up
    connections.append(connection)
time.sleep(2)
with open(f"/proc/{pid}/status") as status:
    rss = next(line.split()[1] for line in status if line.startswith("VmRSS"))
waits = []
for _ in range(20):
    started = time.perf_counter()
    with socket.create_connection(("127.0.0.1", port), timeout=30) as probe:
        probe.recv(512)
    waits.append((time.perf_counter() - started) * 1000)
print(rss, "%.2f" % statistics.median(waits), "%.2f" % max(waits))
for connection in connections:
    connection.close()
