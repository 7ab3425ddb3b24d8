"""pelorix: native toolkit for Python experiment control."""
