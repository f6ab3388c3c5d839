"""Client for the NVIDIA Isaac Sim bridge: articulations, surface grippers, cameras, streams.

Every name comes from the compiled extension strandel._core (its classes and functions carry the
name strandel.X); strandel.tools adds recording helpers written in Python. The types are in
__init__.pyi beside this file.
"""

from ._core import *  # noqa: F401,F403  (every public name of the extension)
from ._core import __version__  # noqa: F401
from . import tools  # noqa: F401
