import os
import sys

# The source tree's tarvane/ holds only the pure-Python part of the package;
# the built package on PYTHONPATH must win over the working directory that
# `python -m pytest` puts first on sys.path.
_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _ROOT]
