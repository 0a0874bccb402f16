"""The API reference of a compiled module, from its type stubs.

The compiled module carries no docstrings of its own; its stubs hold the
signatures and the documentation. `.. stubdoc:: PATH MODULE` reads PATH (a .pyi
file, relative to the package folder) and writes Python-domain entries for
every class, property, method and function it declares, in file order.
"""

from __future__ import annotations

import ast
import inspect
from pathlib import Path
from typing import Any

from docutils.statemachine import StringList
from sphinx.util.docutils import SphinxDirective

PACKAGE = Path(__file__).resolve().parents[2] / "python"


def _signature(node: ast.FunctionDef, drop_first: bool) -> str:
    arguments = ast.unparse(node.args)
    if drop_first:
        first, _, rest = arguments.partition(",")
        arguments = rest.strip() if first.strip() in ("self", "cls") else arguments
    returns = f" -> {ast.unparse(node.returns)}" if node.returns else ""
    return f"({arguments}){returns}"


def _docstring(node: Any, indent: str) -> list[str]:
    text = ast.get_docstring(node) or ""
    return [indent + line if line else "" for line in inspect.cleandoc(text).splitlines()] + [""]


def _decorators(node: ast.FunctionDef) -> set[str]:
    return {ast.unparse(d) for d in node.decorator_list}


def _class(node: ast.ClassDef) -> list[str]:
    members = [m for m in node.body if isinstance(m, ast.FunctionDef)]
    new = next((m for m in members if m.name in ("__new__", "__init__")), None)
    signature = _signature(new, True).split(" -> ")[0] if new else ""
    lines = [f".. py:class:: {node.name}{signature}", "", *_docstring(node, "   ")]
    for member in members:
        if member.name.startswith("_") and member.name not in ("__len__", "__iter__", "__getitem__"):
            continue
        if "property" in _decorators(member):
            kind = f"   .. py:property:: {member.name}"
            lines += [kind, f"      :type: {ast.unparse(member.returns)}" if member.returns else "", ""]
        else:
            static = "staticmethod" in _decorators(member)
            lines += [f"   .. py:{'staticmethod' if static else 'method'}:: {member.name}"
                      f"{_signature(member, not static)}", ""]
        lines += _docstring(member, "      ")
    return lines


class StubDoc(SphinxDirective):
    required_arguments = 2

    def run(self) -> list[Any]:
        path = PACKAGE / self.arguments[0]
        self.env.note_dependency(str(path))
        tree = ast.parse(path.read_text())
        lines = [f".. py:module:: {self.arguments[1]}", "", *_docstring(tree, "")]
        for node in tree.body:
            if isinstance(node, ast.ClassDef):
                lines += _class(node)
            elif isinstance(node, ast.FunctionDef):
                lines += [f".. py:function:: {node.name}{_signature(node, False)}", "", *_docstring(node, "   ")]
        content = StringList(lines, source=str(path))
        container: list[Any] = []
        from docutils import nodes

        section = nodes.section()
        self.state.nested_parse(content, 0, section)
        container.extend(section.children)
        return container


def setup(app: Any) -> dict[str, Any]:
    app.add_directive("stubdoc", StubDoc)
    return {"parallel_read_safe": True, "version": "1"}
