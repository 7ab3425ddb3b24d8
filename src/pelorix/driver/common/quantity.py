"""Quantity records of a driver and the per-channel settings table built from them."""

from copy import deepcopy


class Quantity:
    """A named setting of an instrument with its default value, channel designation and unit."""

    __slots__ = ("name", "default")

    def __init__(self, name, value=None, ch=1, unit=""):
        self.name = name
        self.default = {"value": value, "ch": ch, "unit": unit}

    def __repr__(self):
        d = self.default
        return f"Quantity({self.name!r}, value={d['value']!r}, ch={d['ch']!r}, unit={d['unit']!r})"


def newcfg(quants, CHs):
    """Settings table: quantity name -> {channel: {"value": default}} for every channel and "global"."""  # noqa: E501
    cfg = {}
    for q in quants:
        cfg[q.name] = {c: {"value": deepcopy(q.default["value"])} for c in [*CHs, "global"]}
    return cfg
