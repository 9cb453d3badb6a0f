// binding.cpp: call binding for every public function.
//
// Keywords match by identity first: parameter names are interned at module
// initialisation, like the keyword names the compiler emits, so the usual call
// binds without comparing characters. Then by value: an exact str compares its
// hash, length, width and characters; a str subclass goes through its own
// equality, whose error propagates.
#include "frame/binding.hpp"

#include <cstring>

namespace accel::frame {
namespace {

bool raise_count(const ParamTable &table, Py_ssize_t given)
{
    const Py_ssize_t expected = table.size();
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 table.function_name, "exactly", expected, expected == 1 ? "" : "s",
                 given);
    return false;
}

bool same_exact_str(PyObject *a, PyObject *b)
{
    if (PyObject_Hash(a) != PyObject_Hash(b))   // cached on both sides
        return false;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    const int kind = PyUnicode_KIND(a);
    return length == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(length) * kind) == 0;
}

/// 1 when keyword `key` equals parameter name `name`, 0 when not, -1 with an
/// exception set.
int keyword_equals(const ParamTable &table, PyObject *key, PyObject *name)
{
    if (key == name)
        return 1;
    if (PyUnicode_CheckExact(key))
        return same_exact_str(key, name) ? 1 : 0;
    if (PyUnicode_Check(key))
        return PyObject_RichCompareBool(key, name, Py_EQ);
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings",
                 table.function_name);
    return -1;
}

/// Position of the parameter in [first, last) that `key` names, -1 for none,
/// -2 with an exception set. Identity is tried on all of them before value.
Py_ssize_t find_param(const ParamTable &table, PyObject *key, Py_ssize_t first,
                      Py_ssize_t last)
{
    for (Py_ssize_t i = first; i < last; ++i)
        if (table.names[i].obj == key)
            return i;
    for (Py_ssize_t i = first; i < last; ++i) {
        const int equal = keyword_equals(table, key, table.names[i].obj);
        if (equal < 0)
            return -2;
        if (equal)
            return i;
    }
    return -1;
}

}  // namespace

bool bind_args(const ParamTable &table, PyObject *const *args, Py_ssize_t nargs,
               PyObject *kwnames, PyObject **values)
{
    const Py_ssize_t n = table.size();
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0 ? nargs != n : nargs > n)
        return raise_count(table, nargs);
    for (Py_ssize_t i = 0; i < n; ++i)
        values[i] = i < nargs ? args[i] : nullptr;

    for (Py_ssize_t t = 0; t < nkw; ++t) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, t);
        const Py_ssize_t hit = find_param(table, key, nargs, n);
        if (hit == -2)
            return false;
        if (hit >= 0) {
            values[hit] = args[nargs + t];
            continue;
        }
        const Py_ssize_t positional = find_param(table, key, 0, nargs);
        if (positional == -2)
            return false;
        if (positional >= 0)
            PyErr_Format(PyExc_TypeError,
                         "%s() got multiple values for keyword argument '%U'",
                         table.function_name, key);
        else
            PyErr_Format(PyExc_TypeError,
                         "%s() got an unexpected keyword argument '%U'",
                         table.function_name, key);
        return false;
    }

    for (Py_ssize_t i = 0; i < n; ++i)
        if (!values[i])
            return raise_count(table, i);
    return true;
}

}  // namespace accel::frame
