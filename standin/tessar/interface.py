import abc


class AbstractMod(metaclass=abc.ABCMeta):
    @abc.abstractmethod
    def start_up(self, env, mod_config):
        raise NotImplementedError

    @abc.abstractmethod
    def tear_down(self, code, exception=None):
        raise NotImplementedError
