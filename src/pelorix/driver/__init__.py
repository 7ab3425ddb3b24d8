"""Instrument drivers built on the common native base class."""
