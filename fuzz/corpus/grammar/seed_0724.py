def foo():
                   async def bar():
                        pass
await a
            