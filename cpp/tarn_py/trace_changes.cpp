// Change queries and snapshots.
#include <string>
#include <string_view>
#include <vector>

#include "query/changes.h"
#include "tarn_py/args.h"
#include "tarn_py/convert.h"
#include "tarn_py/lists.h"
#include "tarn_py/trace_object.h"

namespace tarn::py {

namespace {

// A 3-tuple (first, value_to_py(a), value_to_py(b)); steals `first`.
PyObject* change_tuple(PyObject* first, const SignalValue& a, const SignalValue& b) {
    if (!first) return nullptr;
    PyObject* x = value_to_py(a);
    PyObject* y = x ? value_to_py(b) : nullptr;
    return tuple_of({first, x, y});
}

template <class Rec, class First>
PyObject* records_to_py(const std::vector<Rec>& recs, First&& first) {
    PyObject* list = PyList_New(Py_ssize_t(recs.size()));
    if (!list) return nullptr;
    for (size_t i = 0; i < recs.size(); ++i) {
        PyObject* t = change_tuple(first(recs[i]), recs[i].old_value, recs[i].new_value);
        if (!t) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, Py_ssize_t(i), t);
    }
    return list;
}

PyObject* change_list(const std::vector<query::ChangeRecord>& recs) {
    return records_to_py(recs, [](const query::ChangeRecord& r) { return name_to_py(r.name); });
}

// dict[key] = value for each entry of a snapshot; values are converted from their runs without
// building a SignalValue where possible.
PyObject* snapshot_dict(const std::vector<query::SnapshotEntry>& entries) {
    PyObject* dict = PyDict_New();
    if (!dict) return nullptr;
    for (const query::SnapshotEntry& e : entries) {
        PyObject* key = name_to_py(e.key);
        PyObject* val = !key                    ? nullptr
                        : e.run == Column::npos ? Py_NewRef(Py_None)
                                                : run_to_py(*e.column, e.run);
        int rc = val ? PyDict_SetItem(dict, key, val) : -1;
        Py_XDECREF(key);
        Py_XDECREF(val);
        if (rc < 0) {
            Py_DECREF(dict);
            return nullptr;
        }
    }
    return dict;
}

}  // namespace

TARN_METHOD(trace_changed_at) {
    TARN_ARGS("changed_at", "index");
    uint64_t index;
    if (!arg_index(a[0], "index", &index)) return nullptr;
    return interruptible([&] { return query::changed_at(trace_of(self), index); }, change_list);
}

TARN_METHOD(trace_changed_at_scope) {
    TARN_ARGS("changed_at_scope", "index", "scope");
    uint64_t index;
    std::string_view scope;
    if (!arg_index(a[0], "index", &index) || !arg_str(a[1], "scope", &scope)) return nullptr;
    return interruptible([&] { return query::changed_at_scope(trace_of(self), index, scope); },
                         change_list);
}

TARN_METHOD(trace_transitions) {
    TARN_ARGS("transitions", "name");
    std::string_view name;
    if (!arg_str(a[0], "name", &name)) return nullptr;
    return interruptible([&] { return query::transitions(trace_of(self), name); },
                         [](std::vector<query::TransitionRecord>&& recs) {
                             return records_to_py(recs, [](const query::TransitionRecord& r) {
                                 return PyLong_FromUnsignedLongLong(r.index);
                             });
                         });
}

TARN_METHOD(trace_snapshot) {
    TARN_ARGS("snapshot", "index");
    uint64_t index;
    if (!arg_index(a[0], "index", &index)) return nullptr;
    return guarded([&] { return snapshot_dict(query::snapshot(trace_of(self), index)); });
}

TARN_METHOD(trace_snapshot_scope) {
    TARN_ARGS("snapshot_scope", "index", "scope");
    uint64_t index;
    std::string_view scope;
    if (!arg_index(a[0], "index", &index) || !arg_str(a[1], "scope", &scope)) return nullptr;
    return guarded([&] { return snapshot_dict(query::snapshot(trace_of(self), index, scope)); });
}

}  // namespace tarn::py
