Coroutine created at (most recent call last)
