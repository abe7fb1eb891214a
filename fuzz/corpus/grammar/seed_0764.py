async def f():
 'async function'
 await something()