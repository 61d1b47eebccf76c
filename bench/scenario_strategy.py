# The benchmark's strategy: holds every stock and future of the universe from
# the first day, then trades, plots and logs a fixed amount every day.
# TRADES_PER_DAY, LOGS_PER_DAY and PLOTS are set by the benchmark before the
# file is run (see backtest_child.py).

def init(context):
    context.day = 0
    context.stocks = [s for s in UNIVERSE if not s.startswith("F")]
    context.futures = [s for s in UNIVERSE if s.startswith("F")]


def handle_bar(context, bar):
    context.day += 1
    if context.day == 1:
        for s in context.stocks:
            order_shares(s, 1000)
        for f in context.futures:
            buy_open(f, 1)
    else:
        for i in range(TRADES_PER_DAY):
            s = context.stocks[(context.day + i) % len(context.stocks)]
            order_shares(s, 100 if i % 2 == 0 else -100)
    for p in range(PLOTS):
        plot("series {}".format(p), bar[context.stocks[p]])
    for i in range(LOGS_PER_DAY):
        logger.info("day {} line {} value {:.4f}", context.day, i, bar[context.stocks[0]])
