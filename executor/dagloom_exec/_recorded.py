"""Which recorded nodes a reduced node, or a member of a reduced stage, computes.

A traced reduction tells, for every recorded node, the reduced node whose
computation yields its value and, inside a stage, the member; this is the
other direction, for the nodes a plan runs, so that what a reduced graph
reports can name what the front end recorded.
"""

from __future__ import annotations

from collections.abc import Collection
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from dagloom_core import Origins

# (reduced node id, member position or -1) -> recorded ids, ascending.
Places = dict[tuple[int, int], list[int]]

# A note names this many recorded ids, then how many more there are.
SHOWN = 8


def recorded_places(origins: Origins, nodes: Collection[int]) -> Places:
    """Where each recorded node's value lives, for the reduced `nodes` only."""
    places: Places = {}
    for recorded, (node, member) in enumerate(zip(origins.node, origins.member)):
        if node in nodes:
            places.setdefault((node, member), []).append(recorded)
    return places


def recorded_words(ids: list[int]) -> str:
    """"recorded node 6", "recorded nodes 2, 4", or the first SHOWN and a count."""
    if not ids:
        return ""
    if len(ids) == 1:
        return f"recorded node {ids[0]}"
    shown = ", ".join(str(i) for i in ids[:SHOWN])
    more = f" and {len(ids) - SHOWN} more" if len(ids) > SHOWN else ""
    return f"recorded nodes {shown}{more}"
