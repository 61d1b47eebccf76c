"""A small stand-in for the tessar backtesting host.

It offers what the zelmo mod uses of the host (interface, events, loggers,
environment, risk figures, portfolio objects) and a runner that drives a
strategy day by day over generated prices.  Test and demo infrastructure only.
"""
