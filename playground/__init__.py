"""The browser playground: a kernel stand-in serving a page with the code editor and a live
workbook, both driven over one WebSocket. Start it with `python3 -m playground`."""
