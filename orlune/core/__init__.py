"""Core building blocks shared by application components.

Native components (such as the runtime guard) are imported explicitly by the
code that needs them, never from here, so the pure-Python host keeps working
when a native build is absent.
"""
