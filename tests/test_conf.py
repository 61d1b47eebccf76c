import json
import os
import sys
import re

import pytest
import yaml

from tessar.utils.logger import user_system_log
from tessar_mod_zelmo import conf

from conftest import set_home, write_user_conf


@pytest.fixture
def warnings_logged():
    """Captures what the configuration loader logs on the host's system logger."""
    import logbook

    handler = logbook.TestHandler()
    user_system_log.handlers.append(handler)
    yield handler
    user_system_log.handlers.remove(handler)


def conf_path(home):
    return str(home) + "/.zelmo/zelmo.yml"


def test_loaded_configuration_is_cached_for_good(home, warnings_logged):
    values = write_user_conf(home)
    first = conf.get_conf()
    assert first == values
    assert conf.conf is first

    # Changed, then removed: the cached object is returned untouched.
    write_user_conf(home, vantix_username="someone else")
    assert conf.get_conf() is first
    os.remove(conf_path(home))
    assert conf.get_conf() is first
    assert warnings_logged.records == []

    # Resettable from Python.
    conf.conf = None
    assert conf.get_conf() is None


@pytest.mark.parametrize("text", ["", "# only a comment\n\n"])
def test_empty_document_gives_none_quietly_and_is_read_again(home, warnings_logged, text):
    path = home / ".zelmo" / "zelmo.yml"
    path.parent.mkdir()
    path.write_text(text, encoding="utf-8")
    assert conf.get_conf() is None
    assert warnings_logged.records == []
    write_user_conf(home)
    assert conf.get_conf()["vantix_port"] == 16010


def test_missing_file_warns_with_full_path_on_every_call(home, warnings_logged):
    assert conf.get_conf() is None
    assert conf.get_conf() is None
    messages = [r.message for r in warnings_logged.records]
    assert messages == [conf_path(home) + " not exist"] * 2
    assert all(r.level_name == "WARNING" for r in warnings_logged.records)


def test_unknown_os_family_warns_once_and_looks_for_nothing(home, warnings_logged, monkeypatch):
    write_user_conf(home)
    monkeypatch.setattr(os, "name", "java")
    monkeypatch.setattr(os.path, "exists", lambda p: pytest.fail("file system consulted"))
    assert conf.get_conf() is None
    assert [r.message for r in warnings_logged.records] == ["Can not define a valida zelmo.yml path"]


def test_directory_at_the_path_raises(home):
    (home / ".zelmo" / "zelmo.yml").mkdir(parents=True)
    # Opening a directory is refused as a directory on POSIX, as a denial on Windows.
    with pytest.raises(PermissionError if os.name == "nt" else IsADirectoryError):
        conf.get_conf()
    assert conf.conf is None


def test_root_home_gives_doubled_slash(monkeypatch, warnings_logged):
    set_home(monkeypatch, "/")
    assert conf.get_conf() is None
    assert warnings_logged.records[0].message == "//.zelmo/zelmo.yml not exist"


def test_yaml_tags_construct_nothing(home, tmp_path):
    marker = tmp_path / "pwned"
    path = home / ".zelmo" / "zelmo.yml"
    path.parent.mkdir()
    # A command that would leave the marker on any platform, quoted as JSON
    # (a valid YAML scalar, whatever the path's separators).
    command = '"{}" -c "open(r\'{}\', \'w\')"'.format(sys.executable, marker)
    path.write_text("x: !!python/object/apply:os.system [{}]\n".format(json.dumps(command)),
                    encoding="utf-8")
    with pytest.raises(yaml.constructor.ConstructorError):
        conf.get_conf()
    assert not marker.exists()
    assert conf.conf is None


def test_parse_error_keeps_yaml_type_and_names_the_file(home):
    path = home / ".zelmo" / "zelmo.yml"
    path.parent.mkdir()
    path.write_text("a: [1, 2\nb: 3\n", encoding="utf-8")
    with pytest.raises(yaml.YAMLError) as info:
        conf.get_conf()
    assert conf_path(home) in str(info.value)


def test_non_utf8_file_raises_decode_error(home):
    path = home / ".zelmo" / "zelmo.yml"
    path.parent.mkdir()
    path.write_bytes(b"vantix_username: \xff\xfe\n")
    with pytest.raises(UnicodeDecodeError):
        conf.get_conf()
    assert conf.conf is None


def test_utf8_values_arrive_as_text(home):
    write_user_conf(home, vantix_username="量化")
    assert conf.get_conf()["vantix_username"] == "量化"


@pytest.mark.parametrize("text, found", [("- a\n- b\n", "list"), ("just text\n", "str"),
                                         ("42\n", "int")])
def test_a_file_that_is_not_a_mapping_is_reported_and_not_cached(home, text, found):
    path = home / ".zelmo" / "zelmo.yml"
    path.parent.mkdir(parents=True)
    path.write_text(text, encoding="utf-8")
    for _ in range(2):  # reported every time, not cached
        with pytest.raises(TypeError, match=r"{}.*\b{}\b".format(re.escape(conf_path(home)), found)):
            conf.get_conf()
        assert conf.conf is None
    values = write_user_conf(home)  # once fixed, the next call reads it
    assert conf.get_conf() == values
