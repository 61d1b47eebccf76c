"""Feeder, feed writer and log capture of the zelmo mod (native modules)."""
