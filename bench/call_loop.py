"""Runs one hot-path call N times after the component set-up: the measured
process of per_call.py, under callgrind.

    python bench/call_loop.py OP N      (OP: one of per_call.CALL_OPS)"""
import gc
import random
import sys

from common import DoNothingHandler, component_setup, refused_writer


def trade_call(c):
    queue = c.writer.feeds_queue["trade_feeds"]

    def call():
        c.feeder._on_trade(c.event)
        queue.clear()
    return call


def trade_floor_call(c):
    queue = []

    def call():
        queue.append(c.floor_trade())
        queue.clear()
    return call


def log_call(c, handler):
    from tessar.utils.logger import user_log
    user_log.handlers[:] = [handler]
    queue = c.writer.feeds_queue["log_feeds"]

    def call():
        user_log.info("day {} line {}", 3, 4)
        queue.clear()
    return call


def body_call(c, op):
    """A flush of the op's batch whose post refuses the URL at once: the
    body is built and nothing is sent."""
    refused, flush = refused_writer()
    rng = random.Random(1)
    if op == "body_positions":
        c.writer.should_flush = lambda portfolio_feed: False  # bars without a service
        refused.feeds_queue["position_feeds"] = c.position_records(100)
    elif op == "body_floats":
        refused.feeds_queue["risk_feeds"] = [tuple(rng.uniform(-1e6, 1e6) for _ in range(100))
                                             for _ in range(10)]
    elif op == "body_nulls":
        refused.feeds_queue["risk_feeds"] = [(None,) * 100 for _ in range(10)]
    return flush


def make_call(op, c):
    """The call for `op`.  Each call's record leaves its queue at once, as a
    flush would take it: a queue left to grow makes later calls dearer than
    earlier ones."""
    from tessar_mod_zelmo.feeder.quillet import LogHandler
    if op == "trade":
        return trade_call(c)
    if op == "trade_floor":
        return trade_floor_call(c)
    if op == "log_line":
        return log_call(c, LogHandler(c.feeder.send_log, bubble=False))
    if op == "log_floor":
        return log_call(c, DoNothingHandler(bubble=False))
    return body_call(c, op)


def main():
    op, n = sys.argv[1], int(sys.argv[2])
    call = make_call(op, component_setup("http://127.0.0.1:9/api/v1/feedgroup"))
    # The collector is off while the calls run, as timeit has it: otherwise
    # the collections that fall among them would scan the set-up's objects
    # and the growing queue, a cost that depends on how many calls ran.
    gc.collect()
    gc.disable()
    for _ in range(n):
        call()


if __name__ == "__main__":
    main()
