import difflib as difflib
import os as os
import tempfile as tempfile
import webbrowser as webbrowser
from datetime import datetime as datetime
from typing import Any

import numpy as np

def display_tree(d: dict, title: str = "root", end: str = "\n") -> None: ...
def display_array(
    arr: Any, matrix_type: str = "pmatrix", max_rows: int = 10, max_cols: int = 10, title: str = ""
) -> None: ...
