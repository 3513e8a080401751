"""Local usage collector: the development stand-in for the usage server.

Run it with ``python3 -P -m orlune.collector serve``; see ``server`` for the protocol.
"""

from orlune.collector.server import Collector, Received

__all__ = ["Collector", "Received"]
