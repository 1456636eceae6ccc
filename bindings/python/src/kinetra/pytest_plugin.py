"""The pytest plugin (entry point ``kinetra``): a ``kinetra_sim`` fixture.

::

    import pytest
    from kinetra import Platform

    def test_my_host_script(kinetra_sim):
        with Platform(kinetra_sim.port) as p:
            p.move_x(500)
        assert kinetra_sim.wait_for_frames(1)[0].axes["X"].target == 500

    @pytest.mark.kinetra_sim(bad_crc=1)
    def test_my_script_reports_bad_frames(kinetra_sim):
        ...

The fixture starts one kinetra-sim per test with the options of the
closest ``kinetra_sim`` marker (or of an indirect parametrisation,
``@pytest.mark.parametrize("kinetra_sim", [{"rate": 50}], indirect=True)``)
and stops it when the test ends; a simulator that died or did not stop
cleanly fails the test.
"""

from __future__ import annotations

from typing import Any, Dict, Iterator

import pytest

from .testing import Simulator

__all__ = ["kinetra_sim"]


def pytest_configure(config: "pytest.Config") -> None:
    config.addinivalue_line(
        "markers",
        "kinetra_sim(**options): kinetra-sim options for the kinetra_sim fixture "
        "(speed, rate, noise, bad_crc, short_payload, stray_head, silent, seed, args)",
    )


@pytest.fixture
def kinetra_sim(request: "pytest.FixtureRequest") -> Iterator[Simulator]:
    """A running kinetra-sim; ``.port`` is the port to open."""
    options: Dict[str, Any] = {}
    for marker in reversed(list(request.node.iter_markers("kinetra_sim"))):
        options.update(marker.kwargs)
    options.update(getattr(request, "param", None) or {})
    with Simulator(**options) as sim:
        yield sim
