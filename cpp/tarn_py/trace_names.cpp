// Scope and name queries.
#include "query/scope.h"
#include "tarn_py/args.h"
#include "tarn_py/lists.h"
#include "tarn_py/trace_object.h"

namespace tarn::py {

namespace {

// A method taking one str argument and returning a list of names.
template <std::vector<std::string> (*Query)(const Trace&, std::string_view)>
PyObject* names_query(PyObject* self, const char* func, const char* arg, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames) {
    const char* const names[] = {arg};
    PyObject* a[1];
    if (!parse_args(func, names, 1, args, nargs, kwnames, a)) return nullptr;
    std::string_view text;
    if (!arg_str(a[0], arg, &text)) return nullptr;
    return guarded([&] { return name_list_to_py(Query(trace_of(self), text)); });
}

}  // namespace

TARN_METHOD(trace_local_scopes) {
    return names_query<query::local_scopes>(self, "local_scopes", "scope_name", args, nargs,
                                            kwnames);
}

TARN_METHOD(trace_local_signals) {
    return names_query<query::local_signals>(self, "local_signals", "scope_name", args, nargs,
                                             kwnames);
}

TARN_METHOD(trace_resolve) {
    TARN_ARGS("resolve", "scope_name", "short_name");
    std::string_view scope, short_name;
    if (!arg_str(a[0], "scope_name", &scope) || !arg_str(a[1], "short_name", &short_name))
        return nullptr;
    return guarded([&]() -> PyObject* {
        auto name = query::resolve(trace_of(self), scope, short_name);
        if (!name) Py_RETURN_NONE;
        return name_to_py(*name);
    });
}

TARN_METHOD(trace_find_signals_glob) {
    return names_query<query::find_signals_glob>(self, "find_signals_glob", "pattern", args, nargs,
                                                 kwnames);
}

TARN_METHOD(trace_find_signals_containing) {
    return names_query<query::find_signals_containing>(self, "find_signals_containing", "substring",
                                                       args, nargs, kwnames);
}

}  // namespace tarn::py
