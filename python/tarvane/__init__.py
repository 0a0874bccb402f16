"""tarvane: a decoder of WMO FM-94 BUFR edition 4."""

from ._tarvane import *  # noqa: F401,F403
from ._tarvane import __all__  # noqa: F401
from ._defaults import default_tables

# A new list: the module's own __all__ keeps its fourteen names.
__all__ = [*__all__, "default_tables"]
