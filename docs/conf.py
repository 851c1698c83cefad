"""Sphinx configuration of the orvantile_cbor reference.

The module is imported as installed (make install), so the pages document the
build that the tests ran against."""

import re

import orvantile_cbor

project = "orvantile_cbor"
author = "the orvantile_cbor developers"
copyright = "the orvantile_cbor developers"
version = release = orvantile_cbor.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
]

# The module's docstring carries an autosummary of dumps with
# ":toctree: _generate"; generate those pages when building.
autosummary_generate = True
# dumps is a built-in function: its signature is the first line of its
# docstring, which autodoc reads from there.
autodoc_docstring_signature = True

root_doc = "index"
exclude_patterns = ["_build"]
# _templates/autosummary/base.rst: the generated page of dumps points to the
# hand-written reference (dumps.rst).
templates_path = ["_templates"]
html_theme = "furo"
# wrap.css: long error texts and signatures wrap in code blocks instead of
# scrolling sideways on a phone.
html_static_path = ["_static"]
html_css_files = ["wrap.css"]
html_title = "orvantile_cbor %s" % release
# The docstrings use the Python domain by default.
primary_domain = "py"
default_role = "py:obj"


def _union_without_repeats(match):
    members = []
    for member in match.group(1).split(", "):
        if member not in members:
            members.append(member)
    return "Union[%s]" % ", ".join(members)


def _tidy_signature(app, what, name, obj, options, signature, return_annotation):
    """The binding's signature names the value's accepted types once per
    conversion it tries (bool, int and str more than once); show each once."""
    if signature:
        signature = re.sub(r"Union\[([^\[\]]*)\]", _union_without_repeats, signature)
    return signature, return_annotation


def setup(app):
    app.connect("autodoc-process-signature", _tidy_signature)
