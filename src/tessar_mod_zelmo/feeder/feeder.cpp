// tessar_mod_zelmo.feeder.feeder: turns the host's events into feed records.
//
// Records are tuples built natively from attribute reads with names made
// once; every record of a bar carries the text of the same calendar
// date-time, which is converted once per distinct value (core/text_cache).
#include "core/py.hpp"
#include "core/python_class.hpp"
#include "core/text_cache.hpp"

#include <cmath>

namespace nb = nanobind;
using namespace zelmo;

namespace {

struct Names {
    // module globals
    nb::handle np, Q, EVENT, Risk;
    // Feeder attributes
    nb::handle zelmo_env, _env, _daily_returns, _benchmark_daily_returns, _risk_free_rate,
        _trading_calendar;
    // run environment and host
    nb::handle env, algorithm_id, backtest_id, feeds_writer, sqlite_result, write, event_bus,
        add_listener, TRADE, PRE_SETTLEMENT, POST_SYSTEM_INIT, _on_trade, _on_pre_settlement,
        _on_post_system_init, _send_portfolio_feed, data_proxy, get_risk_free_rate, config,
        base, start_date, end_date, trading_calendar, full, isnan, resize, concatenate, trade,
        calendar_dt, trading_dt, date, portfolio, benchmark_portfolio, plot_store, get_plots,
        items, positions, accounts, daily_returns, searchsorted, days, type;
    // trade
    nb::handle order_book_id, order_id, side, position_effect, exec_id, transaction_cost,
        last_quantity, last_price, commission, tax;
    // feed kinds
    nb::handle trade_feeds, log_feeds, risk_feeds, portfolio_feeds, plot_feeds,
        position_feeds, account_feeds;
};
Names n;
nb::handle module_dict;
PyTypeObject *numpy_float64 = nullptr;

// Field order of the risk record after its three header fields.
nb::handle risk_fields[9];
const char *const kRiskFields[] = {"alpha", "beta", "sharpe", "sortino", "information_ratio",
                                   "annual_volatility", "max_drawdown",
                                   "annual_tracking_error", "annual_downside_risk"};
// Portfolio record fields after the benchmark flag.
nb::handle portfolio_fields[11];
const char *const kPortfolioFields[] = {"cash", "total_value", "market_value",
                                        "unit_net_value", "units", "static_unit_net_value",
                                        "total_returns", "annualized_returns",
                                        "portfolio_value", "daily_returns", "starting_cash"};
// Position record fields 5 to 23, each None when the position lacks it.
nb::handle position_fields[19];
const char *const kPositionFields[] = {
    "quantity", "last_price", "avg_price", "market_value", "margin", "buy_pnl",
    "buy_margin", "buy_quantity", "buy_avg_open_price", "sell_pnl", "sell_margin",
    "sell_quantity", "sell_avg_open_price", "buy_market_value", "sell_market_value", "pnl",
    "transaction_cost", "buy_transaction_cost", "sell_transaction_cost"};
// Account record fields 4 to 7 (required); field 8, margin, is optional.
nb::handle account_fields[4];
const char *const kAccountFields[] = {"cash", "transaction_cost", "market_value",
                                      "total_value"};
nb::handle margin_name;

nb::object global(nb::handle name) { return module_global(module_dict, name); }

bool is_nan(nb::handle v) {
    PyObject *o = v.ptr();
    // A plain float (or numpy's float64, a float subclass) needs no call
    // into numpy; everything else goes through numpy.isnan as specified.
    if (PyFloat_CheckExact(o) || Py_TYPE(o) == numpy_float64)
        return std::isnan(float_value(o));
    return truthy(call_method(global(n.np), n.isnan, v));
}

// None for NaN (and for None itself, which is no number to test), else the
// very argument.
nb::object none_if_nan(nb::handle v) {
    if (v.is_none() || is_nan(v))
        return nb::none();
    return nb::borrow(v);
}

nb::handle native_none_if_nan; // Feeder.none_if_nan as defined here
nb::handle none_if_nan_name;

// self.none_if_nan, honouring a subclass's or an instance's replacement.
class NanFilter {
public:
    explicit NanFilter(nb::handle self)
        : replaced_(replaced_method(self, none_if_nan_name, native_none_if_nan)) {}
    nb::object operator()(nb::handle v) const {
        return replaced_.is_valid() ? call(replaced_, v) : none_if_nan(v);
    }

private:
    nb::object replaced_;
};

struct Header {
    nb::object algorithm_id, backtest_id, when;
};

// The three fields every record starts with, read afresh from the run
// environment; `when` is the text of the host's calendar date-time.
Header header(nb::handle zelmo_env) {
    return {get_attr(zelmo_env, n.algorithm_id), get_attr(zelmo_env, n.backtest_id),
            cached_str(get_attr(get_attr(zelmo_env, n.env), n.calendar_dt))};
}

void put_header(TupleBuilder &t, const Header &h) {
    t.set(0, h.algorithm_id);
    t.set(1, h.backtest_id);
    t.set(2, h.when);
}

void queue_records(nb::handle zelmo_env, nb::handle kind, nb::handle records) {
    call_method(get_attr(zelmo_env, n.feeds_writer), n.write, kind, records);
}

void feeder_init(nb::handle self, nb::handle zelmo_env) {
    set_attr(self, n.zelmo_env, zelmo_env);
    set_attr(self, n._env, get_attr(zelmo_env, n.env));
    for (nb::handle name : {n._daily_returns, n._benchmark_daily_returns, n._risk_free_rate,
                            n._trading_calendar})
        set_attr(self, name, nb::none());
}

void register_event(nb::handle self) {
    nb::object bus = get_attr(get_attr(self, n._env), n.event_bus);
    nb::object event = global(n.EVENT);
    call_method(bus, n.add_listener, get_attr(event, n.TRADE), get_attr(self, n._on_trade));
    call_method(bus, n.add_listener, get_attr(event, n.PRE_SETTLEMENT),
                get_attr(self, n._on_pre_settlement));
    call_method(bus, n.add_listener, get_attr(event, n.POST_SYSTEM_INIT),
                get_attr(self, n._on_post_system_init));
}

nb::object zero_array(nb::handle length) {
    return call_method(global(n.np), n.full, length, nb::float_(0.0));
}

void on_post_system_init(nb::handle self, nb::handle) {
    nb::object env = get_attr(self, n._env);
    nb::object base = get_attr(get_attr(env, n.config), n.base);
    set_attr(self, n._risk_free_rate,
            call_method(get_attr(env, n.data_proxy), n.get_risk_free_rate,
                        get_attr(base, n.start_date), get_attr(base, n.end_date)));
    set_attr(self, n._trading_calendar, get_attr(base, n.trading_calendar));
    nb::object calendar = get_attr(self, n._trading_calendar);
    set_attr(self, n._daily_returns, zero_array(nb::int_(nb::len(calendar))));
    set_attr(self, n._benchmark_daily_returns, zero_array(nb::int_(nb::len(calendar))));
}

Py_ssize_t length(nb::handle o) {
    Py_ssize_t len = PyObject_Length(o.ptr());
    if (len < 0)
        throw nb::python_error();
    return len;
}

// Slot `index` must exist: first as the host asks (follow the calendar's
// length), then, for a date past the calendar's end, by appending 0.0 slots.
void ensure_slot(nb::handle self, nb::handle array_name, Py_ssize_t index) {
    nb::object array = get_attr(self, array_name);
    if (index < length(array))
        return;
    nb::object np = global(n.np);
    nb::object calendar_length = nb::int_(length(get_attr(self, n._trading_calendar)));
    array = call_method(np, n.resize, array, calendar_length);
    Py_ssize_t len = length(array);
    if (index >= len)
        array = call_method(np, n.concatenate,
                            nb::make_tuple(array, zero_array(nb::int_(index + 1 - len))));
    set_attr(self, array_name, array);
}

nb::object first_slots(nb::handle self, nb::handle array_name, Py_ssize_t count) {
    nb::object stop = steal_or_throw(PyLong_FromSsize_t(count));
    nb::object slice = steal_or_throw(PySlice_New(nullptr, stop.ptr(), nullptr));
    return steal_or_throw(PyObject_GetItem(get_attr(self, array_name).ptr(), slice.ptr()));
}

void set_slot(nb::handle self, nb::handle array_name, nb::handle index, nb::handle value) {
    if (PyObject_SetItem(get_attr(self, array_name).ptr(), index.ptr(), value.ptr()) < 0)
        throw nb::python_error();
}

void on_pre_settlement(nb::handle self, nb::handle) {
    nb::object env = get_attr(self, n._env);
    nb::object portfolio = get_attr(env, n.portfolio);
    nb::object trading_date = call_method(get_attr(env, n.trading_dt), n.date);
    nb::object daily_return = get_attr(portfolio, n.daily_returns);
    nb::object benchmark = get_attr(env, n.benchmark_portfolio);
    nb::object benchmark_daily_return =
        benchmark.is_none() ? nb::object(nb::int_(0)) : get_attr(benchmark, n.daily_returns);

    nb::object calendar = get_attr(self, n._trading_calendar);
    nb::object index_obj = call_method(calendar, n.searchsorted, trading_date);
    Py_ssize_t index = PyNumber_AsSsize_t(index_obj.ptr(), PyExc_IndexError);
    if (index == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (index >= length(get_attr(self, n._daily_returns))) {
        ensure_slot(self, n._daily_returns, index);
        ensure_slot(self, n._benchmark_daily_returns, index);
    }
    set_slot(self, n._daily_returns, index_obj, daily_return);
    set_slot(self, n._benchmark_daily_returns, index_obj, benchmark_daily_return);

    nb::object start_date = get_attr(get_attr(get_attr(env, n.config), n.base), n.start_date);
    nb::object elapsed = steal_or_throw(PyNumber_Subtract(
        call_method(get_attr(env, n.trading_dt), n.date).ptr(), start_date.ptr()));
    nb::object days = steal_or_throw(
        PyNumber_Add(get_attr(elapsed, n.days).ptr(), nb::int_(1).ptr()));
    nb::object risk = call(global(n.Risk), first_slots(self, n._daily_returns, index + 1),
                           first_slots(self, n._benchmark_daily_returns, index + 1),
                           get_attr(self, n._risk_free_rate), days);

    nb::object zelmo_env = get_attr(self, n.zelmo_env);
    TupleBuilder record(12);
    put_header(record, header(zelmo_env));
    NanFilter filter(self);
    for (int i = 0; i < 9; ++i)
        record.set(3 + i, filter(get_attr(risk, risk_fields[i])));
    queue_records(zelmo_env, n.risk_feeds, list_of(record.release()));

    call_method(self, n._send_portfolio_feed);
}

nb::object portfolio_record(const Header &h, bool benchmark, nb::handle p) {
    TupleBuilder record(15);
    put_header(record, h);
    record.set(3, nb::bool_(benchmark));
    for (int i = 0; i < 11; ++i)
        record.set(4 + i, get_attr(p, portfolio_fields[i]));
    return record.release();
}

bool plot_point_counts(nb::handle value) {
    if (value.is_none())
        return false;
    return !is_nan(value) && truthy(value);
}

void send_portfolio_feed(nb::handle self) {
    nb::object env = get_attr(self, n._env);
    nb::object zelmo_env = get_attr(self, n.zelmo_env);
    nb::object portfolio = get_attr(env, n.portfolio);
    // One bar's records share their three header fields: read them once.
    const Header h = header(zelmo_env);
    nb::list portfolios;
    portfolios.append(portfolio_record(h, false, portfolio));
    nb::object host = get_attr(zelmo_env, n.env);
    nb::object benchmark = get_attr(host, n.benchmark_portfolio);
    if (!benchmark.is_none())
        portfolios.append(portfolio_record(h, true, benchmark));
    queue_records(zelmo_env, n.portfolio_feeds, portfolios);

    nb::list plots;
    nb::object plot_store = get_attr(host, n.plot_store);
    if (!plot_store.is_none()) {
        nb::object series = call_method(call_method(plot_store, n.get_plots), n.items);
        nb::object trading_date;
        for (nb::handle item : series) {
            nb::object name = item[0], points = item[1];
            if (!trading_date.is_valid())
                trading_date = call_method(get_attr(host, n.trading_dt), n.date);
            int has_point = PySequence_Contains(points.ptr(), trading_date.ptr());
            if (has_point < 0)
                throw nb::python_error();
            if (!has_point)
                continue;
            nb::object value = points[trading_date];
            if (!plot_point_counts(value))
                continue;
            TupleBuilder record(5);
            put_header(record, h);
            record.set(3, name);
            record.set(4, value);
            plots.append(record.release());
        }
    }
    if (nb::len(plots) > 0)
        queue_records(zelmo_env, n.plot_feeds, plots);

    nb::list positions;
    for (nb::handle item : call_method(get_attr(portfolio, n.positions), n.items)) {
        nb::object key = item[0], position = item[1];
        TupleBuilder record(24);
        put_header(record, h);
        record.set(3, key);
        record.set(4, cached_str(get_attr(position, n.type)));
        for (int i = 0; i < 19; ++i)
            record.set(5 + i, get_attr_or_none(position, position_fields[i]));
        positions.append(record.release());
    }
    if (nb::len(positions) > 0)
        queue_records(zelmo_env, n.position_feeds, positions);

    nb::list accounts;
    for (nb::handle item : call_method(get_attr(portfolio, n.accounts), n.items)) {
        nb::object key = item[0], account = item[1];
        TupleBuilder record(9);
        put_header(record, h);
        record.set(3, cached_str(key));
        for (int i = 0; i < 4; ++i)
            record.set(4 + i, get_attr(account, account_fields[i]));
        record.set(8, get_attr_or_none(account, margin_name));
        accounts.append(record.release());
    }
    if (nb::len(accounts) > 0)
        queue_records(zelmo_env, n.account_feeds, accounts);
}

nb::object get_query(nb::handle self) {
    return global(n.Q)(nb::arg("result") =
                           get_attr(get_attr(self, n.zelmo_env), n.sqlite_result));
}

void on_trade(nb::handle self, nb::handle event) {
    nb::object trade = get_attr(event, n.trade);
    nb::object zelmo_env = get_attr(self, n.zelmo_env);
    TupleBuilder record(13);
    put_header(record, header(zelmo_env));
    record.set(3, get_attr(trade, n.order_book_id));
    record.set(4, get_attr(trade, n.order_id));
    record.set(5, cached_str(get_attr(trade, n.side)));
    record.set(6, cached_str(get_attr(trade, n.position_effect)));
    record.set(7, get_attr(trade, n.exec_id));
    record.set(8, get_attr(trade, n.transaction_cost));
    record.set(9, get_attr(trade, n.last_quantity));
    record.set(10, get_attr(trade, n.last_price));
    NanFilter filter(self);
    record.set(11, filter(get_attr(trade, n.commission)));
    record.set(12, filter(get_attr(trade, n.tax)));
    queue_records(zelmo_env, n.trade_feeds, list_of(record.release()));
}

void send_log(nb::handle self, nb::handle datetime, nb::handle text, nb::handle log_tag) {
    if (text.is_none())
        return;
    nb::object zelmo_env = get_attr(self, n.zelmo_env);
    TupleBuilder record(5);
    record.set(0, get_attr(zelmo_env, n.algorithm_id));
    record.set(1, get_attr(zelmo_env, n.backtest_id));
    record.set(2, cached_str(datetime));
    record.set(3, text);
    record.set(4, log_tag);
    queue_records(zelmo_env, n.log_feeds, list_of(record.release()));
}

} // namespace

NB_MODULE(feeder, m) {
#define NAME(x) intern(#x)
    n = Names{NAME(np), NAME(Q), NAME(EVENT), NAME(Risk), NAME(zelmo_env), NAME(_env),
              NAME(_daily_returns), NAME(_benchmark_daily_returns), NAME(_risk_free_rate),
              NAME(_trading_calendar), NAME(env), NAME(algorithm_id), NAME(backtest_id),
              NAME(feeds_writer), NAME(sqlite_result), NAME(write), NAME(event_bus),
              NAME(add_listener), NAME(TRADE), NAME(PRE_SETTLEMENT), NAME(POST_SYSTEM_INIT),
              NAME(_on_trade), NAME(_on_pre_settlement), NAME(_on_post_system_init),
              NAME(_send_portfolio_feed), NAME(data_proxy), NAME(get_risk_free_rate),
              NAME(config), NAME(base), NAME(start_date), NAME(end_date),
              NAME(trading_calendar), NAME(full), NAME(isnan), NAME(resize), NAME(concatenate),
              NAME(trade), NAME(calendar_dt), NAME(trading_dt), NAME(date), NAME(portfolio),
              NAME(benchmark_portfolio), NAME(plot_store), NAME(get_plots), NAME(items),
              NAME(positions), NAME(accounts), NAME(daily_returns), NAME(searchsorted),
              NAME(days), NAME(type), NAME(order_book_id), NAME(order_id),
              NAME(side), NAME(position_effect), NAME(exec_id), NAME(transaction_cost),
              NAME(last_quantity), NAME(last_price), NAME(commission), NAME(tax),
              NAME(trade_feeds), NAME(log_feeds), NAME(risk_feeds), NAME(portfolio_feeds),
              NAME(plot_feeds), NAME(position_feeds), NAME(account_feeds)};
#undef NAME
    for (int i = 0; i < 9; ++i)
        risk_fields[i] = intern(kRiskFields[i]);
    for (int i = 0; i < 11; ++i)
        portfolio_fields[i] = intern(kPortfolioFields[i]);
    for (int i = 0; i < 19; ++i)
        position_fields[i] = intern(kPositionFields[i]);
    for (int i = 0; i < 4; ++i)
        account_fields[i] = intern(kAccountFields[i]);
    margin_name = intern("margin");
    module_dict = nb::handle(PyModule_GetDict(m.ptr()));

    nb::object np = nb::module_::import_("numpy");
    numpy_float64 = reinterpret_cast<PyTypeObject *>(nb::object(np.attr("float64")).release().ptr());
    m.attr("np") = np;
    m.attr("Q") = nb::module_::import_("sqlbuilder.smartsql").attr("Q");
    m.attr("EVENT") = nb::module_::import_("tessar.events").attr("EVENT");
    m.attr("Risk") = nb::module_::import_("tessar.utils.risk").attr("Risk");

    nb::object cls = ClassBuilder(m, "Feeder")
        .def("__init__", &feeder_init, {param("zelmo_env")})
        .def("none_if_nan", [](nb::handle, nb::handle v) { return none_if_nan(v); }, {param("v")})
        .def("register_event", &register_event)
        .def("_on_post_system_init", &on_post_system_init, {param("event")})
        .def("_on_pre_settlement", &on_pre_settlement, {param("event")})
        .def("_get_query", &get_query)
        .def("_send_portfolio_feed", &send_portfolio_feed)
        .def("_on_trade", &on_trade, {param("event")})
        .def("send_log", &send_log, {param("datetime"), param("text"), param("log_tag")})
        .finish(nb::make_tuple(nb::handle((PyObject *)&PyBaseObject_Type)));
    native_none_if_nan = ClassBuilder::own_method(cls, "none_if_nan");
    none_if_nan_name = intern("none_if_nan");
}
