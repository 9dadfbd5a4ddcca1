"""The host of ``quorvane_3``: the ``quorvane-host`` command (``python -m quorvane_host``),
which buys a token the moment its trading opens and stops by a stop rule.

The rehearsal tools (the loopback exchange, the delay relay and the demo)
are a package of their own, :mod:`quorvane_rehearsal`.
"""
