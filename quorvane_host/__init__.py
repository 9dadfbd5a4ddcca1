"""Host tooling for ``quorvane_3``: a loopback exchange, a connector that points
the module at another endpoint, a command-line host for a real listing
(``python -m quorvane_host``) and a demo (``python -m quorvane_rehearsal.demo``).
"""
