"""telvaran: fast numeric operations over one-dimensional arrays of machine numbers.

The operations read and write the arrays' own memory through the buffer
protocol: ``array.array``, one-dimensional contiguous ``numpy.ndarray``,
``memoryview`` and the pyarrow ``Buffer``, ``Array`` and ``ChunkedArray``.
"""

from telvaran import _telvaran
from telvaran._telvaran import *  # noqa: F401,F403

__all__ = list(_telvaran.__all__)
__version__ = "0.1.0"
