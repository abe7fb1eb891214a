@x
async def f(): pass