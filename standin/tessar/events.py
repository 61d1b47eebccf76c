from enum import Enum


class EVENT(Enum):
    POST_SYSTEM_INIT = "post_system_init"
    BEFORE_TRADING = "before_trading"
    BAR = "bar"
    TRADE = "trade"
    PRE_SETTLEMENT = "pre_settlement"
    SETTLEMENT = "settlement"
    ON_LINE_PROFILER_RESULT = "on_line_profiler_result"


class Event:
    def __init__(self, event_type, **kwargs):
        self.event_type = event_type
        self.__dict__.update(kwargs)

    def __repr__(self):
        return "Event({})".format(self.event_type)


class EventBus:
    """Listeners per event kind, called in the order they were added.

    A listener's exception propagates to whoever published the event.
    """

    def __init__(self):
        self._listeners = {}

    def add_listener(self, event_type, listener):
        self._listeners.setdefault(event_type, []).append(listener)

    def listeners(self, event_type):
        return list(self._listeners.get(event_type, ()))

    def publish_event(self, event):
        for listener in self._listeners.get(event.event_type, ()):
            listener(event)
