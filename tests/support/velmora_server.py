"""korvane._velmoraserve for the tests, imported against the FastMCP stand-in."""
import importlib

server = importlib.import_module("korvane._velmoraserve")
