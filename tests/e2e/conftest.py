"""Fixtures of the end-to-end tests over the lab of tools/lab (on the path
that tests/e2e/run.sh sets).  Started any other way, the tests are skipped.

- ``wine_env``, ``screen_size``.
- ``run_program(name)``: a program of the build under Wine (a ``Program``),
  killed at the end of the test if still running.
- ``driver``: the UI driver, one process for the session; before each test
  it waits until no window of an earlier test is left.
- ``pc_addresses``: gives the PC side the addresses a test asks for (and the
  host name those addresses, in order); restored after the test.
- ``device_ns``: commands on the device side, stopped after the test.
"""
import os

import pytest

import netns
import wine


def pytest_collection_modifyitems(config, items):
    if wine.INSIDE:
        return
    skip = pytest.mark.skip(reason="end-to-end tests run only through tests/e2e/run.sh")
    for item in items:
        item.add_marker(skip)


@pytest.fixture(scope="session")
def wine_env():
    return wine.wine_env()


@pytest.fixture(scope="session")
def screen_size():
    width, height = os.environ.get("QVR_E2E_SCREEN", "1024x768").split("x")
    return int(width), int(height)


@pytest.fixture
def run_program(wine_env, request):
    started = []

    def start(name):
        started.append(wine.open_program(request.node.name, name, wine_env))
        return started[-1]

    yield start
    for program in started:
        program.kill()


@pytest.fixture(scope="session")
def _driver_process(wine_env):
    driver = wine.start_driver(wine_env)
    yield driver
    driver.stop()


@pytest.fixture
def driver(_driver_process, request):
    _driver_process.test_name = request.node.name
    _driver_process._shots = set()
    if not _driver_process.alive():
        _driver_process.start()
    # Windows of the programs an earlier test killed may take a moment to go;
    # a test must not meet them.
    _driver_process.wait_clear()
    return _driver_process


@pytest.fixture
def pc_addresses():
    """Call with a list of dotted addresses (and resolve=False to make the
    host name unresolvable) before starting the program."""
    netns.reset_pc_addresses()
    yield netns.set_pc_addresses
    netns.reset_pc_addresses()


@pytest.fixture
def device_ns():
    side = wine.DeviceSide()
    yield side
    side.stop_all()
