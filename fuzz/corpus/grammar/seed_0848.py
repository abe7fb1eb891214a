
        match ...:
            case 42 as _:
                pass
        