// tessar_mod_zelmo.zelmo_env: the run environment.
//
// ZelmoEnv opens the front end's database, creates the run's feed writer and
// decides whether the run is recorded; a run started without identifiers is
// registered (a strategy row and a run row, committed together), gets an
// identity file and one log line.  save_exception stores how a run ended.
#include "core/py.hpp"
#include "core/python_class.hpp"

#include <utility>

namespace nb = nanobind;
using namespace zelmo;

namespace {

constexpr const char *kFeedServiceUrl = "http://127.0.0.1:10300/api/v1/feedgroup";
constexpr const char *kStrategyName = "外部回测";
constexpr const char *kUnknownComment = "Unknown tsr instance";

#define NAMES(X)                                                                          \
    X(env) X(mod_config) X(algorithm_id) X(backtest_id) X(sqlite_url) X(pid_path) X(comment) \
    X(conn) X(sqlite_result) X(activate) X(feeds_writer) X(identify_process) X(path)        \
    X(dirname) X(exists) X(makedirs) X(abspath) X(connect) X(FeedWriter) X(config) X(base)   \
    X(strategy_file) X(cursor) X(execute) X(lastrowid) X(commit) X(rollback) X(info)        \
    X(getpid) X(open) X(read) X(write) X(compile) X(algorithms) X(backtests) X(id) X(uuid1) \
    X(start_date) X(end_date) X(strftime) X(accounts) X(get) X(frequency) X(benchmark)      \
    X(mod) X(sys_simulation) X(sys_risk) X(extra) X(commission_multiplier)                 \
    X(margin_multiplier) X(matching_type) X(slippage) X(enable_profiler)                   \
    X(validate_position) X(dumps) X(now) X(astimezone) X(conf) X(datetime) X(close)
ZELMO_NAMES(NAMES) n;

// Q is not used here; it stays importable from this module.
#define GLOBALS(IMPORT, IMPORT_AS, FROM, FROM_AS, OWN)                                    \
    IMPORT_AS("tessar_mod_zelmo.conf", conf)                                              \
    IMPORT_AS("tessar_mod_zelmo.feeder.pellard", pellard)                                 \
    FROM("tessar.utils.logger", user_system_log) FROM("sqlbuilder.smartsql", Q)            \
    FROM("sqlbuilder.smartsql", T) FROM("sqlbuilder.smartsql", Result)                     \
    FROM("sqlbuilder.smartsql", Insert) FROM("sqlbuilder.smartsql", Update)                \
    FROM_AS("sqlbuilder.smartsql.dialects.sqlite", "compile", sqlite_compile)             \
    IMPORT(os) IMPORT(sqlite3) IMPORT(json) IMPORT(uuid) IMPORT(datetime)                   \
    OWN(utc) OWN(tzchina) OWN(FEED_SERVICE_URL)
ZELMO_GLOBALS(GLOBALS) g;

// The connection type and error of the real sqlite3, whatever the module's
// `sqlite3` global is made to be (tests put a stand-in there).
#define IMPORTS(IMPORT, IMPORT_AS, FROM, FROM_AS) \
    FROM_AS("sqlite3", "Connection", SqliteConnection) FROM_AS("sqlite3", "Error", SqliteError)
ZELMO_IMPORTS(IMPORTS) i;

// The configured identifier, or None when the mod configuration lacks it.
nb::object config_value(nb::handle mod_config, nb::handle key) {
    int present = PySequence_Contains(mod_config.ptr(), key.ptr());
    if (present < 0)
        throw nb::python_error();
    return present ? get_attr(mod_config, key) : nb::none();
}

bool path_exists(nb::handle os_path, nb::handle path) {
    return truthy(call_method(os_path, n.exists, path));
}

// The (statement text, parameters) pair of a statement, compiled by the
// run's result object (the SQLite dialect).  Statements are built from the
// library's statement classes: a query object clones itself through
// copy.copy(super(...)), which newer interpreters no longer support.
nb::object compile_statement(nb::handle self, nb::handle statement) {
    return call_method(get_attr(self, n.sqlite_result), n.compile, statement);
}

nb::object table(nb::handle name) { return get_attr(g.T(), name); }

void execute(nb::handle cursor, nb::handle statement) {
    nb::object sql = statement[0], params = statement[1];
    call_method(cursor, n.execute, sql, params);
}

nb::object registration_time() {
    nb::object datetime_class = get_attr(g.datetime(), n.datetime);
    // The UTC instant, marked as UTC (datetime.utcnow() is deprecated).
    nb::object utc_now = call_method(datetime_class, n.now, g.utc());
    nb::object local = call_method(utc_now, n.astimezone, g.tzchina());
    return call_method(local, n.strftime, nb::str("%Y-%m-%d %H:%M:%S"));
}

bool nonzero(nb::handle cash) {
    int r = PyObject_RichCompareBool(cash.ptr(), nb::int_(0).ptr(), Py_NE);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

// The run configuration both rows carry, as json.dumps text, and its
// security type.
std::pair<nb::object, nb::object> run_configuration(nb::handle env) {
    nb::object config = get_attr(env, n.config);
    nb::object base = get_attr(config, n.base);
    auto simulation = [&] { return get_attr(get_attr(config, n.mod), n.sys_simulation); };
    nb::dict c;
    nb::str date_format("%Y-%m-%d");
    c["start_date"] = call_method(get_attr(base, n.start_date), n.strftime, date_format);
    c["end_date"] = call_method(get_attr(base, n.end_date), n.strftime, date_format);
    c["stock_starting_cash"] = call_method(get_attr(base, n.accounts), n.get, nb::str("STOCK"), nb::int_(0));
    c["future_starting_cash"] = call_method(get_attr(base, n.accounts), n.get, nb::str("FUTURE"), nb::int_(0));
    c["frequency"] = get_attr(base, n.frequency);
    c["benchmark"] = get_attr(base, n.benchmark);
    c["commission_multiplier"] = get_attr(simulation(), n.commission_multiplier);
    c["margin_multiplier"] = get_attr(base, n.margin_multiplier);
    c["matching_type"] = get_attr(simulation(), n.matching_type);
    c["slippage"] = get_attr(simulation(), n.slippage);
    c["enable_profiler"] = get_attr(get_attr(config, n.extra), n.enable_profiler);
    c["enable_short_stock"] = get_attr(get_attr(get_attr(config, n.mod), n.sys_risk), n.validate_position);

    bool stock = nonzero(c["stock_starting_cash"]);
    bool future = nonzero(c["future_starting_cash"]);
    c["securities"] = stock && future ? "stock_future" : stock ? "stock" : "future";
    nb::object securities = c["securities"];
    return {call_method(g.json(), n.dumps, c), securities};
}

// Inserts the strategy row and the run row on one cursor, one commit.
void register_run(nb::handle self, nb::handle cursor, nb::handle identity, nb::handle code) {
    nb::object env = get_attr(self, n.env);
    auto [config_json, securities] = run_configuration(env);
    nb::object conn = get_attr(self, n.conn);
    try {
        nb::dict strategy;
        strategy["name"] = kStrategyName;
        strategy["securities"] = securities;
        strategy["code"] = code;
        strategy["config"] = config_json;
        strategy["last_modified"] = registration_time();
        execute(cursor, compile_statement(
                            self, g.Insert()(table(n.algorithms), nb::arg("mapping") = strategy)));
        set_attr(self, n.algorithm_id, get_attr(cursor, n.lastrowid));

        nb::dict run;
        run["algorithm_id"] = get_attr(self, n.algorithm_id);
        run["config"] = config_json;
        run["state"] = "executing";
        run["comment"] = get_attr(self, n.comment);
        run["time_spent"] = 0;
        run["uuid"] = identity;
        run["code"] = code;
        execute(cursor, compile_statement(
                            self, g.Insert()(table(n.backtests), nb::arg("mapping") = run)));
        set_attr(self, n.backtest_id, get_attr(cursor, n.lastrowid));
        call_method(conn, n.commit);
    } catch (nb::python_error &) {
        // Leave no half-written registration holding the front end's database.
        preserving_error([&] { call_method(conn, n.rollback); });
        throw;
    }
}

// The connection each live run environment opened, by the environment's
// address, and the connections of finalised environments that are still to
// be closed.  Held here as well as by the environment, so that the
// collector never finalises a connection open, which warns "unclosed
// database" (CPython 3.13 and later):
//   - a run is a cycle (the host's event bus holds the feeder, which holds
//     the environment), and in one collection the order of finalisers is
//     arbitrary: the environment's may come after its connection's;
//   - a collection may run on any thread, and a connection can be closed
//     only on the thread that made it: a connection the environment's
//     finaliser could not close waits in `unclosed` until a later attempt
//     on its own thread (the next environment made or finalised, or the
//     interpreter's exit).
nb::handle open_connections; // dict
nb::handle unclosed;         // list

nb::object address_of(nb::handle o) {
    return steal_or_throw(PyLong_FromVoidPtr(o.ptr()));
}

// Opens the front end's database at self.sqlite_url, creating its folder.
void open_database(nb::handle self, nb::handle os_path) {
    nb::object sqlite_url = get_attr(self, n.sqlite_url);
    nb::object db_dir = call_method(os_path, n.dirname, sqlite_url);
    // A bare file name has no directory part: the database opens in the
    // current directory and there is nothing to create.
    if (truthy(db_dir) && !path_exists(os_path, db_dir))
        call_method(g.os(), n.makedirs, db_dir);
    nb::object conn =
        call_method(g.sqlite3(), n.connect, call_method(os_path, n.abspath, sqlite_url));
    if (PyDict_SetItem(open_connections.ptr(), address_of(self).ptr(), conn.ptr()) < 0)
        throw nb::python_error();
    set_attr(self, n.conn, conn);
    set_attr(self, n.sqlite_result, g.Result()(nb::arg("compile") = g.sqlite_compile()));
}

// Writes <pid_path>/<pid>.identity, "IDENTITY BACKTEST_ID", and logs it.
void write_identity_file(nb::handle self, nb::handle os_path, nb::handle identity) {
    nb::object pid_path = get_attr(self, n.pid_path);
    if (!path_exists(os_path, pid_path))
        call_method(g.os(), n.makedirs, pid_path);
    // Truncated, not appended: the file holds exactly this process's latest
    // identity, even when a process id is reused.
    nb::object pid = call_method(g.os(), n.getpid);
    nb::object identity_path = pid_path + nb::str("/") + str_of(pid) + nb::str(".identity");
    nb::object file = call(builtin(n.open), identity_path, nb::str("w"));
    nb::object content = nb::str("{} {}").attr("format")(identity, get_attr(self, n.backtest_id));
    closing(file, [&] { return call_method(file, n.write, content); });

    nb::object line = nb::str("created pid {}, identity {}, backtest_id {}")
                          .attr("format")(call_method(g.os(), n.getpid), identity,
                                          get_attr(self, n.backtest_id));
    call_method(g.user_system_log(), n.info, line);
}

// Closes `conn` if it is an open connection; false if it must wait for its
// own thread.
bool close_connection(nb::handle conn) {
    if (!nb::isinstance(conn, i.SqliteConnection))
        return true;
    try {
        call_method(conn, n.close);
    } catch (nb::python_error &e) {
        if (!e.matches(i.SqliteError))
            throw;
        return false; // made on another thread
    }
    return true;
}

// Closes, on this thread, the waiting connections that were made here.
void close_unclosed() {
    nb::list still;
    for (nb::handle conn : nb::list(nb::borrow(unclosed)))
        if (!close_connection(conn))
            still.append(conn);
    if (PyList_SetSlice(unclosed.ptr(), 0, PY_SSIZE_T_MAX, still.ptr()) < 0)
        throw nb::python_error();
}

// The front end's database connection lives exactly as long as the run
// environment: this closes it when the environment is finalised or its
// constructor fails.  Closes self.conn and the connection the environment
// opened (the same one unless the attribute was replaced), or leaves them to
// wait for their own thread.
void close_database(nb::handle self) {
    nb::object key = address_of(self);
    nb::object opened = nb::borrow(PyDict_GetItemWithError(open_connections.ptr(), key.ptr()));
    if (!opened.is_valid() && PyErr_Occurred())
        throw nb::python_error();
    nb::object conn = get_attr_or_none(self, n.conn);
    auto close_or_wait = [](nb::handle c) {
        if (!close_connection(c) && PyList_Append(unclosed.ptr(), c.ptr()) < 0)
            throw nb::python_error();
    };
    close_or_wait(conn);
    if (opened.is_valid() && !opened.is(conn))
        close_or_wait(opened);
    if (opened.is_valid() && PyDict_DelItem(open_connections.ptr(), key.ptr()) < 0)
        throw nb::python_error();
    close_unclosed();
}

// The rest of the constructor, once the database is open: activation, and
// the run's registration when no identifiers were configured.
void activate_or_register(nb::handle self, nb::handle env, nb::handle os_path) {
    set_attr(self, n.activate, nb::bool_(false));
    set_attr(self, n.feeds_writer, call_method(g.pellard(), n.FeedWriter, g.FEED_SERVICE_URL()));

    nb::object algorithm_id = get_attr(self, n.algorithm_id);
    nb::object backtest_id = get_attr(self, n.backtest_id);
    // The host configuration is read only when neither identifier is given.
    auto strategy_file = [&] {
        return get_attr(get_attr(get_attr(env, n.config), n.base), n.strategy_file);
    };
    bool registration = algorithm_id.is_none() && backtest_id.is_none() &&
                        path_exists(os_path, strategy_file());
    if (!registration) {
        if (!algorithm_id.is_none() && !backtest_id.is_none())
            set_attr(self, n.activate, nb::bool_(true));
        return;
    }

    nb::object identity = call_method(self, n.identify_process);
    if (get_attr(self, n.comment).is_none())
        set_attr(self, n.comment, nb::str(kUnknownComment));
    nb::object source = open_utf8_text(strategy_file());
    nb::object code = closing(source, [&] { return call_method(source, n.read); });
    register_run(self, call_method(get_attr(self, n.conn), n.cursor), identity, code);
    write_identity_file(self, os_path, identity);
    set_attr(self, n.activate, nb::bool_(true));
}

void zelmo_env_init(nb::handle self, nb::handle env, nb::handle mod_config) {
    set_attr(self, n.env, env);
    set_attr(self, n.mod_config, mod_config);
    set_attr(self, n.algorithm_id, config_value(mod_config, n.algorithm_id));
    set_attr(self, n.backtest_id, config_value(mod_config, n.backtest_id));
    nb::object user_conf = get_attr(g.conf(), n.conf);
    set_attr(self, n.sqlite_url, user_conf[nb::str("sqlite_path")]);
    set_attr(self, n.pid_path, user_conf[nb::str("pid_path")]);
    set_attr(self, n.comment, config_value(mod_config, n.comment));

    nb::object os_path = get_attr(g.os(), n.path);
    close_unclosed();
    open_database(self, os_path);
    try {
        activate_or_register(self, env, os_path);
    } catch (nb::python_error &) {
        // The constructor's own error is the one to report.
        preserving_error([&] { close_database(self); });
        throw;
    }
}

void save_exception(nb::handle self, nb::handle exception) {
    nb::object conn = get_attr(self, n.conn);
    nb::object cursor = call_method(conn, n.cursor);
    nb::object backtests = table(n.backtests);
    nb::object condition = steal_or_throw(PyObject_RichCompare(
        get_attr(backtests, n.id).ptr(), get_attr(self, n.backtest_id).ptr(), Py_EQ));
    nb::dict values;
    values["exception"] = str_of(exception);
    execute(cursor, compile_statement(self, g.Update()(backtests, nb::arg("mapping") = values,
                                                             nb::arg("where") = condition)));
    call_method(conn, n.commit);
}

nb::object identify_process(nb::handle) {
    return str_of(call_method(g.uuid(), n.uuid1));
}

} // namespace

NB_MODULE(zelmo_env, m) {
    n.intern_all();
    g.bind_all(m);
    i.import_all();
    nb::object timezone = nb::module_::import_("pytz").attr("timezone");
    g.utc.set(timezone("UTC"));
    g.tzchina.set(timezone("Asia/Shanghai"));
    // The front end's feed service; a module constant that tests may point elsewhere.
    g.FEED_SERVICE_URL.set(nb::str(kFeedServiceUrl));
    open_connections = nb::dict().release();
    unclosed = nb::list().release();
    // What is still waiting at exit is closed then, on the main thread.
    call_method(nb::module_::import_("atexit"), intern("register"),
                nb::cpp_function([] { close_unclosed(); }));

    ClassBuilder(m, "ZelmoEnv")
        .def("__init__", &zelmo_env_init, {param("env"), param("mod_config")})
        .def("save_exception", &save_exception, {param("exception")})
        .def("identify_process", &identify_process)
        .def("__del__", &close_database)
        .finish(nb::make_tuple(nb::handle((PyObject *)&PyBaseObject_Type)));
}
