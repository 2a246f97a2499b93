match p:
    case [x, *rest] if x:
        import a.b.c
    case {"k": v}:
        pass
async def g():
    async with a as b:
        yield f"{b!r:>{10}}"
