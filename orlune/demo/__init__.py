"""End-to-end demonstration: real sessions of a stand-in application against the local collector.

    python3 -P -m orlune.demo [--home DIR] [--port 8765] [--keep]
"""
