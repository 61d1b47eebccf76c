"""Methods and module functions of the six modules look and bind like the
interpreter's own: a signature for inspect and help(), and the interpreter's
TypeError wording for a wrong call."""
import inspect

import pytest

from tessar_mod_zelmo import conf, mod, zelmo_env
from tessar_mod_zelmo.feeder import feeder, pellard, quillet

CALLABLES = {
    "TessarZelmoMod.start_up": (mod.TessarZelmoMod.start_up, "(self, env, mod_config)"),
    "TessarZelmoMod.tear_down": (mod.TessarZelmoMod.tear_down, "(self, code, exception=None)"),
    "TessarZelmoMod._register_event": (mod.TessarZelmoMod._register_event, "(self)"),
    "TessarZelmoMod._on_line_profiler_result": (
        mod.TessarZelmoMod._on_line_profiler_result, "(self, event)"),
    "ZelmoEnv.__init__": (zelmo_env.ZelmoEnv.__init__, "(self, env, mod_config)"),
    "ZelmoEnv.save_exception": (zelmo_env.ZelmoEnv.save_exception, "(self, exception)"),
    "ZelmoEnv.identify_process": (zelmo_env.ZelmoEnv.identify_process, "(self)"),
    "get_conf": (conf.get_conf, "()"),
    "Feeder.__init__": (feeder.Feeder.__init__, "(self, zelmo_env)"),
    "Feeder.none_if_nan": (feeder.Feeder.none_if_nan, "(self, v)"),
    "Feeder.send_log": (feeder.Feeder.send_log, "(self, datetime, text, log_tag)"),
    "Feeder._on_trade": (feeder.Feeder._on_trade, "(self, event)"),
    "FeedWriter.__init__": (pellard.FeedWriter.__init__, "(self, url)"),
    "FeedWriter.should_flush": (pellard.FeedWriter.should_flush, "(self, portfolio_feed)"),
    "FeedWriter.write": (pellard.FeedWriter.write, "(self, key, arr)"),
    "FeedWriter.flush": (pellard.FeedWriter.flush, "(self)"),
    "LogHandler.__init__": (quillet.LogHandler.__init__,
                            "(self, send_quillet, level=0, format_string=None, encoding=None, "
                            "filter=None, bubble=False)"),
    "LogHandler.write": (quillet.LogHandler.write, "(self, item)"),
    "LogHandler.emit": (quillet.LogHandler.emit, "(self, record)"),
    "log_formatter": (quillet.log_formatter, "(record, handler)"),
}


def test_every_method_and_function_of_the_modules_has_its_signature():
    for module in (conf, mod, zelmo_env, feeder, pellard, quillet):
        for name, value in vars(module).items():
            if type(value).__name__ == "native_function":
                inspect.signature(value)
            elif isinstance(value, type) and value.__module__ == module.__name__:
                for attr in vars(value).values():
                    if type(attr).__name__ == "native_function":
                        assert str(inspect.signature(attr)).startswith("(self")
    for qualname, (fn, signature) in CALLABLES.items():
        assert (fn.__qualname__, str(inspect.signature(fn))) == (qualname, signature)
    handler = quillet.LogHandler(print)
    assert str(inspect.signature(handler.write)) == "(item)"
    assert str(inspect.signature(pellard.FeedWriter)) == "(url)"


def python_twin(qualname, signature):
    """A Python function with the same name and parameters, whose errors the
    interpreter words itself."""
    name = qualname.rsplit(".", 1)[-1]
    namespace = {}
    exec("def {}{}: pass".format(name, signature), namespace)
    fn = namespace[name]
    fn.__qualname__ = qualname
    return fn


BAD_CALLS = [((), {}), ((1,), {}), ((1, 2, 3, 4, 5, 6, 7, 8, 9), {}), ((1,), {"nonsense": 2}),
             ((1, 2), {"self": 3}), ((), {"exception": 1}), ((1,), {"env": 2, "code": 3})]


@pytest.mark.parametrize("qualname", sorted(CALLABLES))
def test_wrong_calls_raise_the_interpreters_type_error(qualname):
    fn, signature = CALLABLES[qualname]
    twin = python_twin(qualname, signature)
    for args, kwargs in BAD_CALLS:
        try:
            twin(*args, **kwargs)
        except TypeError as expected:
            with pytest.raises(TypeError) as raised:
                fn(*args, **kwargs)
            assert str(raised.value) == str(expected)
