class Environment:
    """The run's environment; one current instance at a time."""

    _env = None

    def __init__(self, config):
        from .events import EventBus
        from .utils.logger import user_log

        Environment._env = self
        self.config = config
        self.event_bus = EventBus()
        self.user_log = user_log
        self.data_proxy = None
        self.calendar_dt = None
        self.trading_dt = None
        self.portfolio = None
        self.benchmark_portfolio = None
        self.plot_store = None

    @classmethod
    def get_instance(cls):
        if cls._env is None:
            raise RuntimeError("Environment has not been created. Please Use `Environment.get_instance()` after tessar init")
        return cls._env

    @classmethod
    def clear(cls):
        cls._env = None
