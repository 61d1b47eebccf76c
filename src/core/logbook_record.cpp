// The logbook record reader: which record classes it may read natively, and
// the level name and message as logbook's properties give them (contract in
// logbook_record.hpp).
#include "core/logbook_record.hpp"
#include "core/py.hpp"

namespace zelmo {
namespace {

#define NAMES(X)                                                                          \
    X(message) X(_format_message) X(level_name) X(format) X(args) X(kwargs) X(msg) X(level) \
    X(__dict__)
ZELMO_NAMES(NAMES) n;

// logbook's own LogRecord machinery, when this logbook has it in the form
// the native reading below reproduces; otherwise records are read through
// Python only.
struct {
    nb::handle message, format_message, level_name; // LogRecord's own class attributes
    nb::handle level_names;                         // logbook.base._level_names
    bool usable = false;
} logbook_record;

// How a record is read.  `plain`: its class is LogRecord or a subclass that
// replaced none of message, _format_message and level_name, so both are
// computed here.  `dict`: the record's __dict__ (plain records only).
// `fields_in_dict`: the class reads attributes the ordinary way, keeps the
// ordinary __dict__ and has no data descriptor for level, msg, args or
// kwargs, so the record's own __dict__ entries are what reading them gives.
struct RecordView {
    bool plain = false, fields_in_dict = false;
    nb::object dict;
};

#ifndef Py_LIMITED_API
// The last record class found plain, with the version tag it had then.
// While the tag holds, neither the class nor its bases changed, so the
// checks need not be made again (tags are never reused).  The stable ABI
// shows no tags: there every record is checked.
struct {
    PyTypeObject *type = nullptr;
    unsigned int tag = 0;
    bool fields_in_dict = false;
} plain_record_class;

bool no_data_descriptor(PyTypeObject *type, nb::handle name) {
    PyObject *d = _PyType_Lookup(type, name.ptr());
    return !d || !Py_TYPE(d)->tp_descr_set;
}
#endif

void check_record_class(PyTypeObject *type, RecordView &view) {
    const auto &r = logbook_record;
#ifndef Py_LIMITED_API
    const unsigned int version = type_version(type);
    if (version != 0 && type == plain_record_class.type && version == plain_record_class.tag) {
        view.plain = true;
        view.fields_in_dict = plain_record_class.fields_in_dict;
        return;
    }
#endif
    view.plain = r.usable && class_attribute_is(type, n.message, r.message) &&
                 class_attribute_is(type, n._format_message, r.format_message) &&
                 class_attribute_is(type, n.level_name, r.level_name);
#ifndef Py_LIMITED_API
    if (!view.plain)
        return;
    PyObject *dict_descriptor = _PyType_Lookup(type, n.__dict__.ptr());
    view.fields_in_dict = type->tp_getattro == PyObject_GenericGetAttr && dict_descriptor &&
                          Py_TYPE(dict_descriptor) == &PyGetSetDescr_Type &&
                          no_data_descriptor(type, n.level) && no_data_descriptor(type, n.msg) &&
                          no_data_descriptor(type, n.args) && no_data_descriptor(type, n.kwargs);
    // The look-ups above gave the class a valid tag if it had none.
    if (const unsigned int tag = type_version(type))
        plain_record_class = {type, tag, view.fields_in_dict};
#endif
}

RecordView view_record(nb::handle record) {
    RecordView view;
    check_record_class(Py_TYPE(record.ptr()), view);
    if (view.plain) {
#ifndef Py_LIMITED_API
        // Where the class reads attributes the ordinary way, its __dict__ is
        // the instance's own dictionary (made now if the record has none).
        if (view.fields_in_dict) {
            PyObject **dict = _PyObject_GetDictPtr(record.ptr());
            if (dict && *dict && PyDict_CheckExact(*dict)) {
                view.dict = nb::borrow(*dict);
                return view;
            }
        }
#endif
        view.dict = get_attr(record, n.__dict__);
        if (!PyDict_CheckExact(view.dict.ptr()))
            view = RecordView{};
    }
    return view;
}

// record.<name> for one of the fields logbook's __init__ sets.
nb::object record_field(nb::handle record, const RecordView &view, nb::handle name) {
    if (view.fields_in_dict) {
        if (PyObject *v = PyDict_GetItemWithError(view.dict.ptr(), name.ptr()))
            return nb::borrow(v);
        if (PyErr_Occurred())
            throw nb::python_error();
    }
    return get_attr(record, name);
}

// record.level_name as logbook's property gives it: the name registered for
// record.level.  An unknown level takes the property's own way, which
// raises its LookupError.
nb::object record_level_name(nb::handle record, const RecordView &view) {
    if (view.plain) {
        nb::object level = record_field(record, view, n.level);
        PyObject *name = PyDict_GetItemWithError(logbook_record.level_names.ptr(), level.ptr());
        if (name)
            return nb::borrow(name);
        if (PyErr_Occurred())
            PyErr_Clear(); // an unhashable level: the property reports it
    }
    return get_attr(record, n.level_name);
}

// record.message as logbook's cached property gives it, cached the same way
// in the record's __dict__: msg itself without arguments, else
// msg.format(*args, **kwargs).  A message that fails to format takes the
// property's own way, which reports the failure exactly as logbook does.
nb::object record_message(nb::handle record, const RecordView &view) {
    if (!view.plain)
        return get_attr(record, n.message);
    if (PyObject *cached = PyDict_GetItemWithError(view.dict.ptr(), n.message.ptr()))
        return nb::borrow(cached);
    if (PyErr_Occurred())
        throw nb::python_error();
    nb::object args = record_field(record, view, n.args);
    nb::object kwargs = record_field(record, view, n.kwargs);
    nb::object message;
    if (!truthy(args) && !truthy(kwargs)) {
        message = record_field(record, view, n.msg);
    } else {
        nb::object msg = record_field(record, view, n.msg);
        if (!PyUnicode_CheckExact(msg.ptr()) || !PyTuple_CheckExact(args.ptr()) ||
            !(PyDict_CheckExact(kwargs.ptr()) || kwargs.is_none() || !truthy(kwargs)))
            return get_attr(record, n.message);
        // No keywords (None or empty) is a null dict to the call.
        PyObject *keywords = PyDict_CheckExact(kwargs.ptr()) ? kwargs.ptr() : nullptr;
        PyObject *text = PyObject_Call(get_attr(msg, n.format).ptr(), args.ptr(), keywords);
        if (!text) {
            PyErr_Clear();
            return get_attr(record, n.message);
        }
        message = nb::steal(text);
    }
    if (PyDict_SetItem(view.dict.ptr(), n.message.ptr(), message.ptr()) < 0)
        throw nb::python_error();
    return message;
}

} // namespace

void init_logbook_record_reader() {
    n.intern_all();
    nb::object logbook_base = nb::module_::import_("logbook.base");
    nb::object record_attributes = logbook_base.attr("LogRecord").attr("__dict__");
    auto has = [&](const char *name) { return PyMapping_HasKeyString(record_attributes.ptr(), name); };
    if (!nb::hasattr(logbook_base, "_level_names") || !has("message") ||
        !has("_format_message") || !has("level_name"))
        return;
    auto &r = logbook_record;
    r.message = nb::object(record_attributes["message"]).release();
    r.format_message = nb::object(record_attributes["_format_message"]).release();
    r.level_name = nb::object(record_attributes["level_name"]).release();
    r.level_names = nb::object(logbook_base.attr("_level_names")).release();
    r.usable = PyDict_CheckExact(r.level_names.ptr());
}

LevelAndMessage read_logbook_record(nb::handle record) {
    const RecordView view = view_record(record);
    return {record_level_name(record, view), record_message(record, view)};
}

} // namespace zelmo
