import os
import missing_module_xyz
from . import sibling

def f(a, b=1):
    return a + undefined_name
