"""A named set of recorded paths that together cover the conditions a scanline labelling of
machine recordings must survive, plus clean steep zigzag rasters, for benchmarks and tests."""

from __future__ import annotations

from dataclasses import dataclass, field, replace

import numpy as np

from .simulate import Machine, Part, RecordedPath, Strategy, simulate_path

__all__ = ["CASES", "Case"]


@dataclass(frozen=True)
class Case:
    """One recorded path of the set: what it shows, and the arguments of `simulate_path`."""

    description: str
    parts: tuple[Part, ...]
    strategy: Strategy = field(default_factory=Strategy)
    machine: Machine = field(default_factory=Machine)
    layers: int = 2
    park: tuple[float, float] | None = None

    def record(self, seed: int = 0, *, quick: bool = False) -> RecordedPath:
        """Plan and record the case; `quick` records its first layer only."""
        return simulate_path(
            self.parts,
            self.strategy,
            self.machine,
            layers=1 if quick else self.layers,
            park=self.park,
            seed=seed,
        )


# A well-kept machine: 1 um encoder, half a micrometre of noise.
_RECORDED = Machine(noise=0.0005, quantum=0.001)
_SQUARE = (Part.rectangle(60.0, 40.0, 10.0, 10.0),)
_FAR = (Part.rectangle(138.0, 138.0, 10.0, 10.0),)
_HOLED = (
    Part.rectangle(
        20.0,
        20.0,
        12.0,
        10.0,
        holes=[
            Part.round_hole(24.0, 25.0, 1.5),
            Part.round_hole(29.0, 23.0, 1.0),
            Part.round_hole(29.0, 27.5, 0.8),
        ],
    ),
)
_PLATE = (
    Part.rectangle(30.0, 30.0, 8.0, 6.0),
    Part.circle(45.0, 33.0, 4.0),
    Part.rectangle(52.0, 28.0, 3.0, 10.0),
)
_ROUND = (Part.circle(80.0, 80.0, 6.0, holes=[Part.round_hole(80.0, 80.0, 2.0)]),)


def _steep(machine: Machine, connectors: bool = True) -> Case:
    # A parallelogram with sides along the hatch, so that every line is a full 16 mm one.
    lean = 16.0 / np.tan(np.radians(86.0))
    outline = np.array([[40.0, 60.0], [50.0, 60.0], [50.0 + lean, 76.0], [40.0 + lean, 76.0]])
    joined = "connectors at scan speed" if connectors else "jumps"
    return Case(
        f"steep zigzag raster at 86 degrees joined by {joined}, no noise",
        (Part(outline),),
        Strategy(angle=86.0, rotation=0.0, connectors=connectors, hatch_inset=0.05),
        machine,
    )


_NO_DELAYS = Machine(jump_delay=0, mark_delay=0, corner_delay=0)

CASES: dict[str, Case] = {
    "steep-clean": _steep(Machine()),
    "steep-rounded": _steep(replace(_NO_DELAYS, quantum=0.001), connectors=False),
    "steep-float32": _steep(replace(_NO_DELAYS, dtype=np.float32)),
    "angle-0": Case("lines along x", _SQUARE, Strategy(angle=0.0, rotation=0.0), _RECORDED),
    "angle-45": Case("lines at 45 degrees", _SQUARE, Strategy(angle=45.0, rotation=0.0), _RECORDED),
    "angle-90": Case("lines along y", _SQUARE, Strategy(angle=90.0, rotation=0.0), _RECORDED),
    "angle-135": Case(
        "lines at 135 degrees", _SQUARE, Strategy(angle=135.0, rotation=0.0), _RECORDED
    ),
    "rotate-67": Case(
        "four layers, each turned by 67 degrees", _SQUARE, Strategy(angle=10.0), _RECORDED, 4
    ),
    "alternate-0-90": Case(
        "four layers alternating 0 and 90 degrees",
        _SQUARE,
        Strategy(angle=0.0, rotation=90.0),
        _RECORDED,
        4,
    ),
    "one-way": Case(
        "every line exposed the same way, a jump back between lines",
        _SQUARE,
        Strategy(angle=30.0, meander=False),
        _RECORDED,
    ),
    "islands-2mm": Case(
        "2 mm islands in rows, chessboard of two angles",
        _SQUARE,
        Strategy(angle=20.0, islands=2.0),
        _RECORDED,
    ),
    "islands-5mm-random": Case(
        "5 mm islands in random order",
        (Part.rectangle(60.0, 40.0, 15.0, 15.0),),
        Strategy(angle=0.0, islands=5.0, island_order="random"),
        _RECORDED,
    ),
    "islands-3mm-serpentine": Case(
        "3 mm islands in serpentine order on a round part",
        _ROUND,
        Strategy(angle=45.0, islands=3.0, island_order="serpentine"),
        _RECORDED,
    ),
    "stripes-4mm": Case("4 mm stripes", _SQUARE, Strategy(angle=15.0, stripes=4.0), _RECORDED),
    "stripes-2mm-one-way": Case(
        "2 mm stripes, one-way",
        _SQUARE,
        Strategy(angle=100.0, stripes=2.0, meander=False),
        _RECORDED,
    ),
    "connectors": Case(
        "slicer zigzag: lines joined by exposed connectors, contour after",
        _ROUND,
        Strategy(angle=30.0, connectors=True, contours="after"),
        _RECORDED,
    ),
    "holes": Case(
        "lines broken by three round holes, contours before",
        _HOLED,
        Strategy(angle=60.0, contours="before"),
        _RECORDED,
    ),
    "several-parts": Case(
        "three parts on one layer, one of them round",
        _PLATE,
        Strategy(angle=75.0, contours="after"),
        _RECORDED,
    ),
    "contour-parallel-edge": Case(
        "contour edges parallel to the hatch, one spacing from the first and last lines",
        _SQUARE,
        Strategy(angle=0.0, rotation=90.0, contours="after", connectors=True),
        _RECORDED,
    ),
    "skywriting": Case(
        "skywriting: 0.2 mm overshoot and U-turns at scan speed, laser off",
        _SQUARE,
        Strategy(angle=120.0, skywriting=0.2),
        _RECORDED,
    ),
    "skywriting-one-way": Case(
        "skywriting with one-way lines and a jump into each run-up",
        _HOLED,
        Strategy(angle=5.0, skywriting=0.3, meander=False),
        _RECORDED,
    ),
    "long-delays": Case(
        "long jump, mark and corner delays (runs of identical samples)",
        _PLATE,
        Strategy(angle=40.0, connectors=True, contours="after"),
        replace(_RECORDED, noise=0.0, jump_delay=60, mark_delay=30, corner_delay=20),
    ),
    "fast-jumps": Case(
        "jumps at ten times scan speed",
        _PLATE,
        Strategy(angle=160.0),
        replace(_RECORDED, jump_speed=10000.0),
    ),
    "lag-30us": Case(
        "30 us servo lag", _SQUARE, Strategy(angle=70.0), replace(_RECORDED, lag=30e-6)
    ),
    "lag-100us": Case(
        "100 us servo lag, skywriting",
        _SQUARE,
        Strategy(angle=0.0, skywriting=0.2),
        replace(_RECORDED, lag=100e-6),
    ),
    "noise-1um": Case("1 um noise", _HOLED, Strategy(angle=80.0), replace(_RECORDED, noise=0.001)),
    "noise-2um": Case(
        "2 um noise on a 10 um step", _SQUARE, Strategy(angle=25.0), replace(_RECORDED, noise=0.002)
    ),
    "unrounded": Case(
        "no encoder rounding, 1 um noise",
        _ROUND,
        Strategy(angle=140.0),
        Machine(noise=0.001, quantum=0.0),
    ),
    "float32-150mm": Case(
        "float32 near 150 mm from the origin",
        _FAR,
        Strategy(angle=55.0),
        replace(_RECORDED, dtype=np.float32),
    ),
    "everything": Case(
        "float32 at 150 mm, 100 us lag, 2 um noise, skywriting, islands, contours",
        _FAR,
        Strategy(angle=33.0, islands=4.0, skywriting=0.15, contours="after"),
        Machine(noise=0.002, quantum=0.001, lag=100e-6, dtype=np.float32),
    ),
}
