class Section:
    """A configuration section: attribute reads and membership tests by key."""

    def __init__(self, **values):
        self.__dict__.update(values)

    def __contains__(self, key):
        return key in self.__dict__

    def get(self, key, default=None):
        return self.__dict__.get(key, default)

    def __repr__(self):
        return "Section({})".format(", ".join("{}={!r}".format(k, v) for k, v in self.__dict__.items()))
