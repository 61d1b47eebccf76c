"""A mod that does nothing: the baseline the benchmark measures the zelmo mod against."""
from tessar.interface import AbstractMod

__config__ = {}


class NullMod(AbstractMod):
    def start_up(self, env, mod_config):
        pass

    def tear_down(self, code, exception=None):
        pass


def load_mod():
    return NullMod()
