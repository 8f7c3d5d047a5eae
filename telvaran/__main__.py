"""python -m telvaran: a short tour of the operations (filled in below)."""
from telvaran import _telvaran

print(_telvaran.__all__)
