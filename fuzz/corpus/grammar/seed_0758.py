class async:
                pass
            