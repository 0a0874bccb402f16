"""tarvane: a decoder of WMO FM-94 BUFR edition 4."""

from ._tarvane import *  # noqa: F401,F403
from ._tarvane import __all__  # noqa: F401
