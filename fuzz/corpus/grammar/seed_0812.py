class Bar:
                def async(): pass
            