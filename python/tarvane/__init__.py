"""tarvane: a decoder of WMO FM-94 BUFR messages, editions 3 and 4."""

# The modules in layers, each importing only those below it (a test holds
# them to it):
#   _command                     the command's entry point
#   cli, dask, _convert          the command line and the other front ends
#   _frames                      read_dataframe / read_arrow
#   _flat, _wide, _rows          one row per subset or observation, the row pairing
#   _read                        read, Message
#   _data                        Data
#   _long                        one row per record (Data.to_pandas)
#   _describe                    what a descriptor and a frame column are
#   _tables, _table_cache, _bundle, _defaults, _sources, _filters, _optional
#   _tarvane, _columns           the compiled modules

from ._tarvane import *  # noqa: F401,F403
from ._tarvane import __all__ as _module_names
from ._defaults import default_tables

# typing itself costs more to import than the rest of the package; type
# checkers take this name as typing's own.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from ._data import Data
    from ._frames import read_arrow, read_dataframe
    from ._read import Message, read
    from ._write import encode

# The reading layer is imported on first use, so that `import tarvane` stays
# cheap (NumPy loads only when values are decoded).
_LAZY = {
    "read": "._read",
    "Message": "._read",
    "Data": "._data",
    "read_dataframe": "._frames",
    "read_arrow": "._frames",
    "encode": "._write",
}


def __getattr__(name: str) -> object:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'tarvane' has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(module, __name__), name)
    globals()[name] = value
    return value


# A new list: the module's own __all__ keeps its fourteen names.
__all__ = [*_module_names, "default_tables", "read", "Message", "Data", "read_dataframe", "read_arrow", "encode"]
