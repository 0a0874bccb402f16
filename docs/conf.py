"""Sphinx configuration of tarvane's documentation (make docs)."""

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))

project = "tarvane"
author = "the tarvane developers"
copyright = "the tarvane developers; Apache-2.0"
release = version = "0.1.0"

extensions = ["sphinx.ext.autodoc", "numpydoc", "stubdoc"]
html_theme = "pydata_sphinx_theme"
html_title = "tarvane"
html_theme_options = {"navigation_with_keys": False, "show_toc_level": 2}
html_static_path: list[str] = []
exclude_patterns = ["_build"]

autodoc_member_order = "bysource"
autodoc_typehints = "none"  # numpydoc's Parameters sections give the types
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
