#!/usr/bin/env python3
"""A loopback TCP proxy that holds every byte for a fixed time in each direction, so a benchmark
on one machine meets the round trips of a real link.

    delay_proxy.py TARGET_PORT DELAY_MS   (TARGET on 127.0.0.1; DELAY_MS each way)

Prints the port it listens on, then serves until stdin closes."""
import asyncio
import sys


async def pump(reader, writer, delay):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                break
            writer.write(data)
            await writer.drain()
        if writer.can_write_eof():
            writer.write_eof()

    delivering = asyncio.create_task(deliver())
    try:
        while True:
            data = await reader.read(1 << 16)
            queue.put_nowait((loop.time() + delay, data))
            if not data:
                break
        await delivering
    except (ConnectionError, asyncio.CancelledError):
        delivering.cancel()


async def main():
    target_port, delay = int(sys.argv[1]), int(sys.argv[2]) / 1000.0

    async def connection(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pump(client_reader, server_writer, delay), pump(server_reader, client_writer, delay))
        client_writer.close()
        server_writer.close()

    server = await asyncio.start_server(connection, "127.0.0.1", 0)
    sys.stdout.write("%d\n" % server.sockets[0].getsockname()[1])
    sys.stdout.flush()
    loop = asyncio.get_running_loop()
    # Ends when whoever started it closes our stdin.
    await loop.run_in_executor(None, sys.stdin.read)
    server.close()


asyncio.run(main())
