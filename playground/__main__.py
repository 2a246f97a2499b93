"""`python3 -m playground`: binds 127.0.0.1 (port from PLAYGROUND_PORT, default 8765) and
prints the one line with the address to open, token included."""

import asyncio
import logging
import os
import sys

from .server import DEFAULT_PORT, serve


def main() -> int:
    logging.basicConfig(level=logging.WARNING, stream=sys.stderr,
                        format="%(levelname)s %(name)s: %(message)s")
    try:
        port = int(os.environ.get("PLAYGROUND_PORT") or DEFAULT_PORT)
    except ValueError:
        print("PLAYGROUND_PORT must be a port number", file=sys.stderr)
        return 2
    out = sys.stdout  # the kernel routes sys.stdout to the page once it starts

    def announce(url: str) -> None:
        out.write(f"Playground at {url}\n")
        out.flush()

    try:
        asyncio.run(serve(port, announce))
    except KeyboardInterrupt:
        pass
    except OSError as exc:
        print(f"The playground could not start: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
