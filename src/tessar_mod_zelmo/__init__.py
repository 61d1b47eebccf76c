"""The zelmo mod for the tessar backtesting host.

The host loads a mod through ``load_mod()`` and merges ``__config__`` into its
configuration as the mod's section.  The six working modules are native.
"""

__config__ = {
    "algorithm_id": None,
    "backtest_id": None,
    "comment": None,
}


def load_mod():
    from .mod import TessarZelmoMod

    return TessarZelmoMod()
