"""Common pieces of every driver: the native base class and the quantity records."""
