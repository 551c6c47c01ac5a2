#!/usr/bin/env python3
"""A TCP relay that holds every chunk for a fixed time in each direction, so
that a benchmark on loopback sees a path with that round trip (twice the
delay). Order is kept; nothing is dropped. For the benchmarks only, where the
kernel's netem queueing discipline is not to be had.

delay_proxy.py LISTEN_PORT TARGET_HOST TARGET_PORT DELAY_MS
"""
import asyncio
import sys


async def pipe(reader, writer, delay):
    queue = asyncio.Queue()

    async def later():
        while True:
            due, chunk = await queue.get()
            wait = due - asyncio.get_running_loop().time()
            if wait > 0:
                await asyncio.sleep(wait)
            if chunk is None:
                writer.close()
                return
            writer.write(chunk)
            await writer.drain()

    sender = asyncio.create_task(later())
    try:
        while True:
            chunk = await reader.read(65536)
            queue.put_nowait((asyncio.get_running_loop().time() + delay, chunk or None))
            if not chunk:
                break
    except ConnectionError:
        queue.put_nowait((0, None))
    await sender


async def main():
    port, host, target, delay = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), int(sys.argv[4]) / 1000

    async def serve(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection(host, target)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pipe(client_reader, server_writer, delay), pipe(server_reader, client_writer, delay),
                             return_exceptions=True)

    server = await asyncio.start_server(serve, "127.0.0.1", port, backlog=1024)
    async with server:
        await server.serve_forever()


asyncio.run(main())
