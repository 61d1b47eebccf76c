"""Loading the mod and handing the user's settings to the host."""
import importlib

import pytest

import tessar_mod_zelmo
from tessar.config import Section
from tessar.interface import AbstractMod

from conftest import make_env, write_user_conf

HOST_SETTINGS = ["vantix_client_username", "vantix_client_password", "vantix_client_addr",
                 "vantix_client_port"]


def mod_attributes(mod):
    return (mod.env, mod.mod_config, mod.zelmo_env, mod.feeder, mod.active)


def test_loader_entry_gives_a_mod_of_the_host_interface():
    mod_module = importlib.import_module("tessar_mod_zelmo.mod")
    mod = tessar_mod_zelmo.load_mod()
    assert type(mod) is mod_module.TessarZelmoMod
    assert isinstance(mod, AbstractMod)
    assert type(type(mod)) is type(AbstractMod)
    assert not getattr(type(mod), "__abstractmethods__", None)
    assert mod_attributes(mod) == (None, None, None, None, False)
    assert tessar_mod_zelmo.__config__ == {"algorithm_id": None, "backtest_id": None,
                                           "comment": None}
    assert load_is_fresh()


def load_is_fresh():
    return tessar_mod_zelmo.load_mod() is not tessar_mod_zelmo.load_mod()


@pytest.mark.parametrize("call", [
    lambda m: m.start_up(None),
    lambda m: m.start_up(None, None, None),
    lambda m: m.tear_down(),
    lambda m: m.tear_down(0, None, None),
    lambda m: m._register_event(1),
    lambda m: m._on_line_profiler_result(),
    lambda m: type(m)(1),
])
def test_wrong_argument_counts_are_type_errors(call):
    with pytest.raises(TypeError):
        call(tessar_mod_zelmo.load_mod())


def test_no_user_configuration_leaves_host_and_mod_untouched(home):
    env = make_env()
    mod = tessar_mod_zelmo.load_mod()
    assert mod.start_up(env, Section(algorithm_id=None)) is None
    assert vars(env.config.mod.dorrow_data) == {}
    assert env.config.base.data_bundle_path == "~/.tessar/bundle"
    assert mod_attributes(mod) == (None, None, None, None, False)
    # Nothing to deliver or record afterwards.
    assert mod.tear_down(1, ValueError("boom")) is None


def test_missing_port_copies_earlier_settings_then_fails(home):
    write_user_conf(home, vantix_port=None)
    env = make_env()
    mod = tessar_mod_zelmo.load_mod()
    with pytest.raises(KeyError, match="vantix_port"):
        mod.start_up(env=env, mod_config=Section())
    dorrow = env.config.mod.dorrow_data
    assert (dorrow.vantix_client_username, dorrow.vantix_client_password,
            dorrow.vantix_client_addr) == ("quant", "s3cret", "10.1.2.3")
    assert "vantix_client_port" not in dorrow
    assert mod_attributes(mod) == (None, None, None, None, False)


@pytest.mark.parametrize("port", [16010, "16010"])
def test_full_configuration_lands_unchanged(home, port, feed_service):
    values = write_user_conf(home, vantix_port=port)
    env = make_env()
    mod_config = Section(algorithm_id=None, backtest_id=None, comment=None)
    mod = tessar_mod_zelmo.load_mod()
    mod.start_up(env, mod_config)
    dorrow = env.config.mod.dorrow_data
    assert [getattr(dorrow, k) for k in HOST_SETTINGS] == [
        values["vantix_username"], values["vantix_password"], values["vantix_host"], port]
    assert type(dorrow.vantix_client_port) is type(port)
    assert env.config.base.data_bundle_path == values["bundle_path"]
    assert mod.env is env and mod.mod_config is mod_config


def test_none_arguments_reach_the_code():
    """Every native parameter accepts None; what happens next is the code's own doing."""
    from tessar_mod_zelmo.feeder.feeder import Feeder
    from tessar_mod_zelmo.feeder.pellard import FeedWriter
    from tessar_mod_zelmo.feeder.quillet import LogHandler, log_formatter
    from tessar_mod_zelmo.zelmo_env import ZelmoEnv

    writer = FeedWriter(None)
    assert writer.url is None and writer.should_flush(None) is False
    assert LogHandler(None).send_quillet is None
    assert tessar_mod_zelmo.load_mod().tear_down(None, None) is None
    for call, error in [(lambda: ZelmoEnv(None, None), "not (a container or )?iterable"),
                        (lambda: Feeder(None), "has no attribute 'env'"),
                        (lambda: log_formatter(None, None), "has no attribute 'level_name'")]:
        with pytest.raises((TypeError, AttributeError), match=error):
            call()
