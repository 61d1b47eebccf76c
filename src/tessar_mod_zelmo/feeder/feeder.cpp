// tessar_mod_zelmo.feeder.feeder: turns the host's events into feed records.
//
// Records are tuples built natively from attribute reads with names made
// once; every record of a bar carries the text of the same calendar
// date-time, which is converted once per distinct value (core/text_cache).
#include "core/native_entry.hpp"
#include "core/py.hpp"
#include "core/python_class.hpp"
#include "core/text_cache.hpp"

#include <cmath>
#include <stdexcept>
#include <utility>

namespace nb = nanobind;
using namespace zelmo;

namespace {

#define NAMES(X)                                                                          \
    /* Feeder attributes */                                                               \
    X(zelmo_env) X(_env) X(_daily_returns) X(_benchmark_daily_returns) X(_risk_free_rate)   \
    X(_trading_calendar) X(none_if_nan)                                                   \
    /* run environment and host */                                                        \
    X(env) X(algorithm_id) X(backtest_id) X(feeds_writer) X(sqlite_result) X(write)         \
    X(event_bus) X(add_listener) X(TRADE) X(PRE_SETTLEMENT) X(POST_SYSTEM_INIT) X(_on_trade) \
    X(_on_pre_settlement) X(_on_post_system_init) X(_send_portfolio_feed) X(data_proxy)     \
    X(get_risk_free_rate) X(config) X(base) X(start_date) X(end_date) X(trading_calendar)   \
    X(full) X(isnan) X(resize) X(concatenate) X(trade) X(calendar_dt) X(trading_dt) X(date) \
    X(portfolio) X(benchmark_portfolio) X(plot_store) X(get_plots) X(items) X(positions)    \
    X(accounts) X(daily_returns) X(searchsorted) X(days) X(type) X(margin)                 \
    /* feed kinds */                                                                      \
    X(trade_feeds) X(log_feeds) X(risk_feeds) X(portfolio_feeds) X(plot_feeds)             \
    X(position_feeds) X(account_feeds)
ZELMO_NAMES(NAMES) n;

#define GLOBALS(IMPORT, IMPORT_AS, FROM, FROM_AS, OWN)                                    \
    IMPORT_AS("numpy", np) FROM("sqlbuilder.smartsql", Q) FROM("tessar.events", EVENT)      \
    FROM("tessar.utils.risk", Risk)
ZELMO_GLOBALS(GLOBALS) g;

PyTypeObject *numpy_float64 = nullptr;

// Every record starts with the run's two identifiers and the text of the
// host's calendar date-time.
constexpr size_t kHeaderFields = 3;

// Risk record fields after the header.
constexpr const char *kRiskFields[] = {"alpha", "beta", "sharpe", "sortino",
                                       "information_ratio", "annual_volatility",
                                       "max_drawdown", "annual_tracking_error",
                                       "annual_downside_risk"};
NameList risk_fields(kRiskFields);
// Portfolio record fields after the header and the benchmark flag.
constexpr const char *kPortfolioFields[] = {"cash", "total_value", "market_value",
                                            "unit_net_value", "units", "static_unit_net_value",
                                            "total_returns", "annualized_returns",
                                            "portfolio_value", "daily_returns", "starting_cash"};
NameList portfolio_fields(kPortfolioFields);
// Position record fields after the header, the key and the type; each None
// when the position lacks it.
constexpr const char *kPositionFields[] = {
    "quantity", "last_price", "avg_price", "market_value", "margin", "buy_pnl",
    "buy_margin", "buy_quantity", "buy_avg_open_price", "sell_pnl", "sell_margin",
    "sell_quantity", "sell_avg_open_price", "buy_market_value", "sell_market_value", "pnl",
    "transaction_cost", "buy_transaction_cost", "sell_transaction_cost"};
NameList position_fields(kPositionFields);
// Account record fields after the header and the key (required); `margin`,
// optional, comes last.
constexpr const char *kAccountFields[] = {"cash", "transaction_cost", "market_value",
                                          "total_value"};
NameList account_fields(kAccountFields);
// Trade record fields after the header, each read from the trade and
// written as it is, as its text, or as None when it is NaN.
enum class As { value, text, number_or_none };
struct TradeField {
    const char *name;
    As as;
};
constexpr TradeField kTradeFields[] = {
    {"order_book_id", As::value},   {"order_id", As::value},
    {"side", As::text},             {"position_effect", As::text},
    {"exec_id", As::value},         {"transaction_cost", As::value},
    {"last_quantity", As::value},   {"last_price", As::value},
    {"commission", As::number_or_none}, {"tax", As::number_or_none}};
NameList trade_fields(kTradeFields);

bool is_nan(nb::handle v) {
    PyObject *o = v.ptr();
    // A plain float (or numpy's float64, a float subclass) needs no call
    // into numpy; everything else goes through numpy.isnan.
    if (PyFloat_CheckExact(o) || Py_TYPE(o) == numpy_float64)
        return std::isnan(float_value(o));
    return truthy(call_method(g.np(), n.isnan, v));
}

// None for NaN (and for None itself, which is no number to test), else the
// very argument.
nb::object none_if_nan(nb::handle v) {
    if (v.is_none() || is_nan(v))
        return nb::none();
    return nb::borrow(v);
}

nb::handle native_none_if_nan; // Feeder.none_if_nan as defined here

// self.none_if_nan, honouring a subclass's or an instance's replacement.
class NanFilter {
public:
    explicit NanFilter(nb::handle self)
        : replaced_(replaced_method(self, n.none_if_nan, native_none_if_nan)) {}
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

[[noreturn]] void wrong_record_width(const char *what) { throw std::logic_error(what); }

// A record tuple of `width` fields, filled left to right; a wrong width (a
// table and its record out of step) raises.  Its methods are inlined into
// each record's loop: as calls they cost a tenth of a record's time.
class Record {
public:
    ZELMO_ALWAYS_INLINE explicit Record(size_t width)
        : fields_(static_cast<Py_ssize_t>(width)), width_(width) {}
    ZELMO_ALWAYS_INLINE Record(size_t width, const Header &h) : Record(width) {
        add(h.algorithm_id);
        add(h.backtest_id);
        add(h.when);
    }
    // A new reference is taken over, without a moved-from copy to release.
    ZELMO_ALWAYS_INLINE void add(nb::object &&v) { fields_.set(next_index(), std::move(v)); }
    ZELMO_ALWAYS_INLINE void add(nb::handle v) { fields_.set(next_index(), v); }
    ZELMO_ALWAYS_INLINE nb::object release() {
        if (next_ != width_) [[unlikely]]
            wrong_record_width("a feed record got fewer fields than its width");
        return fields_.release();
    }

private:
    ZELMO_ALWAYS_INLINE Py_ssize_t next_index() {
        if (next_ == width_) [[unlikely]]
            wrong_record_width("a feed record got more fields than its width");
        return static_cast<Py_ssize_t>(next_++);
    }

    TupleBuilder fields_;
    size_t width_, next_ = 0;
};

// The feed writer's own write, straight from its module (native_entry.hpp),
// and its form for one record, which takes the record without a list.
NativeEntry3 native_write = nullptr, native_write_one = nullptr;
nb::handle native_write_method; // FeedWriter.write

void queue_records(nb::handle zelmo_env, nb::handle kind, nb::handle records) {
    nb::object writer = get_attr(zelmo_env, n.feeds_writer);
    nb::object replaced = replaced_method(writer, n.write, native_write_method);
    if (replaced.is_valid())
        call(replaced, kind, records);
    else
        check_entry(native_write(writer.ptr(), kind.ptr(), records.ptr()));
}

// queue_records(zelmo_env, kind, [record]).
void queue_record(nb::handle zelmo_env, nb::handle kind, nb::handle record) {
    nb::object writer = get_attr(zelmo_env, n.feeds_writer);
    nb::object replaced = replaced_method(writer, n.write, native_write_method);
    if (replaced.is_valid())
        call(replaced, kind, list_of(record));
    else
        check_entry(native_write_one(writer.ptr(), kind.ptr(), record.ptr()));
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
    nb::object event = g.EVENT();
    call_method(bus, n.add_listener, get_attr(event, n.TRADE), get_attr(self, n._on_trade));
    call_method(bus, n.add_listener, get_attr(event, n.PRE_SETTLEMENT),
                get_attr(self, n._on_pre_settlement));
    call_method(bus, n.add_listener, get_attr(event, n.POST_SYSTEM_INIT),
                get_attr(self, n._on_post_system_init));
}

nb::object zero_array(nb::handle length) {
    return call_method(g.np(), n.full, length, nb::float_(0.0));
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
    nb::object np = g.np();
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
    nb::object risk = call(g.Risk(), first_slots(self, n._daily_returns, index + 1),
                           first_slots(self, n._benchmark_daily_returns, index + 1),
                           get_attr(self, n._risk_free_rate), days);

    nb::object zelmo_env = get_attr(self, n.zelmo_env);
    Record record(kHeaderFields + risk_fields.size(), header(zelmo_env));
    NanFilter filter(self);
    for (nb::handle field : risk_fields)
        record.add(filter(get_attr(risk, field)));
    queue_record(zelmo_env, n.risk_feeds, record.release());

    call_method(self, n._send_portfolio_feed);
}

nb::object portfolio_record(const Header &h, bool benchmark, nb::handle p) {
    Record record(kHeaderFields + 1 + portfolio_fields.size(), h);
    record.add(nb::bool_(benchmark));
    for (nb::handle field : portfolio_fields)
        record.add(get_attr(p, field));
    return record.release();
}

nb::object position_record(const Header &h, nb::handle key, nb::handle position) {
    Record record(kHeaderFields + 2 + position_fields.size(), h);
    record.add(key);
    record.add(cached_str(get_attr(position, n.type)));
    for (nb::handle field : position_fields)
        record.add(get_attr_or_none(position, field));
    return record.release();
}

nb::object account_record(const Header &h, nb::handle key, nb::handle account) {
    Record record(kHeaderFields + 1 + account_fields.size() + 1, h);
    record.add(cached_str(key));
    for (nb::handle field : account_fields)
        record.add(get_attr(account, field));
    record.add(get_attr_or_none(account, n.margin));
    return record.release();
}

bool plot_point_counts(nb::handle value) {
    if (value.is_none())
        return false;
    return !is_nan(value) && truthy(value);
}

// A record for each plot series with a point at the trading date that is a
// number other than NaN or zero.
nb::list plot_records(const Header &h, nb::handle host) {
    nb::list plots;
    nb::object plot_store = get_attr(host, n.plot_store);
    if (plot_store.is_none())
        return plots;
    nb::object series = call_method(call_method(plot_store, n.get_plots), n.items);
    nb::object trading_date;
    for (nb::handle item : series) {
        nb::object name = item[0], points = item[1];
        if (!trading_date.is_valid())
            trading_date = call_method(get_attr(host, n.trading_dt), n.date);
        nb::object value;
        if (PyDict_CheckExact(points.ptr())) { // one look-up where `in` and [] make two
            PyObject *point = PyDict_GetItemWithError(points.ptr(), trading_date.ptr());
            if (!point && PyErr_Occurred())
                throw nb::python_error();
            if (!point)
                continue;
            value = nb::borrow(point);
        } else {
            int has_point = PySequence_Contains(points.ptr(), trading_date.ptr());
            if (has_point < 0)
                throw nb::python_error();
            if (!has_point)
                continue;
            value = points[trading_date];
        }
        if (!plot_point_counts(value))
            continue;
        Record record(kHeaderFields + 2, h);
        record.add(name);
        record.add(value);
        plots.append(record.release());
    }
    return plots;
}

// One record per (key, value) of mapping.items(), made by `make`.  An exact
// dict is walked directly, each pair held while its record is made; one
// whose size changes meanwhile fails as its items() iterator would.
template <typename Make>
nb::list records_of_items(const Header &h, nb::handle mapping, Make &&make) {
    nb::list records;
    if (PyDict_CheckExact(mapping.ptr())) {
        nb::object dict = nb::borrow(mapping);
        const Py_ssize_t size = PyDict_Size(dict.ptr());
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict.ptr(), &position, &key, &value)) {
            nb::object held_key = nb::borrow(key), held_value = nb::borrow(value);
            records.append(make(h, held_key, held_value));
            if (PyDict_Size(dict.ptr()) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                throw nb::python_error();
            }
        }
        return records;
    }
    for (nb::handle item : call_method(mapping, n.items)) {
        nb::object key = item[0], value = item[1];
        records.append(make(h, key, value));
    }
    return records;
}

// Queues `records` as `kind`, unless there are none.
void queue_any(nb::handle zelmo_env, nb::handle kind, nb::handle records) {
    if (nb::len(records) > 0)
        queue_records(zelmo_env, kind, records);
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

    queue_any(zelmo_env, n.plot_feeds, plot_records(h, host));
    queue_any(zelmo_env, n.position_feeds,
              records_of_items(h, get_attr(portfolio, n.positions), position_record));
    queue_any(zelmo_env, n.account_feeds,
              records_of_items(h, get_attr(portfolio, n.accounts), account_record));
}

nb::object get_query(nb::handle self) {
    return g.Q()(nb::arg("result") =
                           get_attr(get_attr(self, n.zelmo_env), n.sqlite_result));
}

void on_trade(nb::handle self, nb::handle event) {
    nb::object trade = get_attr(event, n.trade);
    nb::object zelmo_env = get_attr(self, n.zelmo_env);
    Record record(kHeaderFields + trade_fields.size(), header(zelmo_env));
    NanFilter filter(self);
    for (size_t i = 0; i < trade_fields.size(); ++i) {
        nb::object value = get_attr(trade, trade_fields[i]);
        switch (trade_fields.entry(i).as) {
        case As::value: record.add(std::move(value)); break;
        case As::text: record.add(cached_str(value)); break;
        case As::number_or_none: record.add(filter(value)); break;
        }
    }
    queue_record(zelmo_env, n.trade_feeds, record.release());
}

void send_log(nb::handle self, nb::handle datetime, nb::handle text, nb::handle log_tag) {
    if (text.is_none())
        return;
    nb::object zelmo_env = get_attr(self, n.zelmo_env);
    Record record(kHeaderFields + 2);
    record.add(get_attr(zelmo_env, n.algorithm_id));
    record.add(get_attr(zelmo_env, n.backtest_id));
    record.add(cached_str(datetime));
    record.add(text);
    record.add(log_tag);
    queue_record(zelmo_env, n.log_feeds, record.release());
}

} // namespace

NB_MODULE(feeder, m) {
    n.intern_all();
    risk_fields.intern_all();
    portfolio_fields.intern_all();
    position_fields.intern_all();
    account_fields.intern_all();
    trade_fields.intern_all();
    g.bind_all(m);
    numpy_float64 = reinterpret_cast<PyTypeObject *>(
        nb::object(g.np().attr("float64")).release().ptr());

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
    // For the log handler, whose every captured line goes to send_log.
    publish_entry(m, "send_log",
                  &native_entry<send_log, PyObject *, PyObject *, PyObject *, PyObject *>);

    native_write = find_entry<NativeEntry3>("tessar_mod_zelmo.feeder.pellard", "write");
    native_write_one = find_entry<NativeEntry3>("tessar_mod_zelmo.feeder.pellard", "write_one");
    native_write_method = nb::object(nb::module_::import_("tessar_mod_zelmo.feeder.pellard")
                                         .attr("FeedWriter").attr("__dict__")["write"])
                              .release();
    if (!native_write || !native_write_one)
        throw std::runtime_error("tessar_mod_zelmo.feeder.pellard publishes no write");
}
