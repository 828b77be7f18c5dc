"""Small XML helpers shared by the service modules: escaping, element
look-up by local name (the services ignore prefixes, as the real ones do)."""

from xml.etree import ElementTree as ET
from xml.sax.saxutils import escape as _escape


def esc(text):
    """Text or attribute value escaped for XML (quotes included)."""
    return _escape(str(text), {'"': "&quot;", "'": "&apos;"})


def local(tag):
    """The local part of an ElementTree tag ("{ns}name" -> "name")."""
    return tag.rsplit("}", 1)[-1]


def child(node, name):
    """The first child whose local name is name, or None."""
    if node is None:
        return None
    for c in node:
        if local(c.tag) == name:
            return c
    return None


def children(node, name):
    return [c for c in node if local(c.tag) == name] if node is not None else []


def path(node, *names):
    """Follows children by local names; None when a step is missing."""
    for name in names:
        node = child(node, name)
    return node


def find_all(node, name):
    """Every descendant whose local name is name, in document order."""
    return [n for n in node.iter() if local(n.tag) == name] if node is not None else []


def text(node, default=""):
    return (node.text or "") if node is not None else default


def attr(node, name, default=""):
    return node.get(name, default) if node is not None else default


def parse(data):
    """The element tree of bytes; raises ET.ParseError with its position."""
    return ET.fromstring(data)
