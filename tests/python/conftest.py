import os
import sys

# The tests import the built package named by PYTHONPATH, never sources from
# the working directory that `python -m pytest` puts first on sys.path.
_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _ROOT]
