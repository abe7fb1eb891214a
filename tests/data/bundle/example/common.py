GREETING = "hi"
