"""Fixtures of the uvcvideo tier: the kernel's real UVC driver facing the
tier's own USB camera (uvccam/) on dummy_hcd and gadgetfs, as vm/test-uvc
sets it up (vm/modules/uvc). Outside such a VM every test errors: this tier
must never pass by finding nothing to test."""
import pytest

import camsnap
from usbcam import Bus, gadget_problem


BUSES = []


@pytest.fixture(scope="session")
def bus(tmp_path_factory):
    problem = gadget_problem()
    if problem:
        pytest.fail("no emulated USB camera: %s; run this tier with vm/test-uvc" % problem,
                    pytrace=False)
    bus = Bus(str(tmp_path_factory.mktemp("uvccam")))
    BUSES.append(bus)
    yield bus
    bus.unplug()


def pytest_terminal_summary(terminalreporter):
    for bus in BUSES:
        for line in bus.summary():
            terminalreporter.write_line(line)


@pytest.fixture(autouse=True)
def released():
    """Whatever a test leaves open or streaming is given back to the driver."""
    yield
    camsnap.stopStream()
    camsnap.close()
