# A moving-average crossover over three stocks, plus a trend position in the
# index future.  Runs in the stand-in host: order_shares, buy_open,
# sell_close, plot, history and logger are provided by it.
STOCKS = ["000001.XSHE", "600000.XSHG", "000002.XSHE"]
FUTURE = "IF88"
SHORT, LONG = 5, 20


def init(context):
    context.holding = {s: 0 for s in STOCKS}
    context.future_long = False
    logger.info("策略开始: {} stocks, MA {}/{}", len(STOCKS), SHORT, LONG)


def handle_bar(context, bar):
    for stock in STOCKS:
        closes = history(stock, LONG)
        if len(closes) < LONG:
            continue
        fast, slow = closes[-SHORT:].mean(), closes.mean()
        if stock == STOCKS[0]:
            plot("fast MA", fast)
            plot("slow MA", slow)
        if fast > slow and context.holding[stock] == 0:
            order_shares(stock, 20000)
            context.holding[stock] = 20000
            logger.info("买入 {} at {:.2f}", stock, bar[stock])
        elif fast < slow and context.holding[stock] > 0:
            order_shares(stock, -context.holding[stock])
            context.holding[stock] = 0
            logger.info("卖出 {} at {:.2f}", stock, bar[stock])

    trend = history(FUTURE, LONG)
    if len(trend) == LONG:
        rising = trend[-1] > trend.mean()
        if rising and not context.future_long:
            buy_open(FUTURE, 1)
            context.future_long = True
        elif not rising and context.future_long:
            sell_close(FUTURE, 1)
            context.future_long = False
