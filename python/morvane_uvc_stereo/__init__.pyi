from typing import Any

import numpy

from ._core import *
from ._core import _start_simulation
from ._types import *

IMU_SAMPLE_DTYPE: numpy.dtype[Any]
__version__: str

def simulated_camera(state_file: Any = None) -> SimulatedCamera: ...
def open_imu_stream(device: Device, **options: Any) -> ImuStream: ...
def open_frameset_stream(device: Device, **options: Any) -> FramesetStream: ...
def default_state_file() -> str: ...
