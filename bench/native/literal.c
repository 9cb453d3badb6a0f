/* literal: the kernels written straightforwardly, as a baseline for the
 * benchmarks.
 *
 * rebin(old_edges, counts, new_edges, out) is the rebinning sweep over
 * contiguous arrays. fill_row(...) is the channel loop of one response row
 * with linear scans from position 0 for every channel. extract(row, cols,
 * values) appends the entries above 1e-12 to two lists. Same arithmetic, in
 * the same order, as the package's kernels; compiled with
 * -ffp-contract=off.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <math.h>

typedef struct {
    Py_buffer view;
    const double *data;
    Py_ssize_t n;
} Array;

static int get_array(PyObject *obj, Array *a, int writable)
{
    int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(obj, &a->view, flags) < 0)
        return -1;
    if (a->view.itemsize != 8 || a->view.ndim != 1) {
        PyBuffer_Release(&a->view);
        PyErr_SetString(PyExc_ValueError, "expected a contiguous 1-D float64 array");
        return -1;
    }
    a->data = (const double *)a->view.buf;
    a->n = a->view.shape[0];
    return 0;
}

static PyObject *rebin(PyObject *self, PyObject *args)
{
    PyObject *o[4];
    Array a[4];
    if (!PyArg_ParseTuple(args, "OOOO", &o[0], &o[1], &o[2], &o[3]))
        return NULL;
    int got = 0;
    for (; got < 4; got++)
        if (get_array(o[got], &a[got], got == 3) < 0)
            break;
    if (got == 4) {
        const double *old_edges = a[0].data, *counts = a[1].data, *new_edges = a[2].data;
        double *new_counts = (double *)a[3].data;
        Py_ssize_t old_n = a[1].n, new_n = a[2].n - 1, i = 0;
        if (a[0].n <= old_n && old_n > 0) {
            PyErr_SetString(PyExc_IndexError, "energy_axis too short");
        } else {
            for (Py_ssize_t j = 0; j < old_n; j++) {
                double old_left = old_edges[j], old_right = old_edges[j + 1];
                double old_width = old_right - old_left;
                if (old_width <= 0)
                    continue;
                while (i < new_n && new_edges[i + 1] <= old_left)
                    i++;
                for (Py_ssize_t k = i; k < new_n && new_edges[k] < old_right; k++) {
                    double new_left = new_edges[k], new_right = new_edges[k + 1];
                    double upper = old_right > new_right ? new_right : old_right;
                    double lower = new_left > old_left ? new_left : old_left;
                    double overlap = upper - lower;
                    if (overlap > 0)
                        new_counts[k] = new_counts[k] + (overlap / old_width) * counts[j];
                }
            }
        }
    }
    for (int k = 0; k < got; k++)
        PyBuffer_Release(&a[k].view);
    if (PyErr_Occurred())
        return NULL;
    Py_RETURN_NONE;
}

static Py_ssize_t find_first_not_below(double x, const double *a, Py_ssize_t n)
{
    for (Py_ssize_t i = 0; i < n; i++)
        if (!(x > a[i]))
            return i;
    return -1;
}

static double interpolate_on_axis(double y, const double *axis, Py_ssize_t n, const double *row)
{
    Py_ssize_t m = find_first_not_below(y, axis, n);
    if (m <= 0)
        return NAN;
    return (row[m] - row[m - 1]) * (y - axis[m - 1]) / (axis[m] - axis[m - 1]) + row[m - 1];
}

static PyObject *fill_row(PyObject *self, PyObject *args)
{
    double E_requested, E_lo, E_hi;
    PyObject *o[8];
    Array a[8];   /* requested axis, ref axis, row_lo, row_hi, regions_lo, regions_hi, regions, out */
    if (!PyArg_ParseTuple(args, "dOOdOdOOOOO", &E_requested, &o[0], &o[1], &E_lo, &o[2], &E_hi,
                          &o[3], &o[4], &o[5], &o[6], &o[7]))
        return NULL;
    int got = 0;
    for (; got < 8; got++)
        if (get_array(o[got], &a[got], got == 7) < 0)
            break;
    if (got == 8) {
        const double *x_axis = a[0].data, *axis = a[1].data, *row_lo = a[2].data,
                     *row_hi = a[3].data, *lo = a[4].data, *hi = a[5].data, *regions = a[6].data;
        double *out = (double *)a[7].data;
        Py_ssize_t n = a[0].n, m = a[1].n, r = a[6].n;
        Py_BEGIN_ALLOW_THREADS
        for (Py_ssize_t i = 0; i < n; i++) {
            double x = x_axis[i];
            Py_ssize_t k = find_first_not_below(x, regions, r);
            if (k < 1) {
                out[i] = NAN;
                continue;
            }
            double frac = (x - regions[k - 1]) / (regions[k] - regions[k - 1]);
            double y_hi = (hi[k] - hi[k - 1]) * frac + hi[k - 1];
            double y_lo = (lo[k] - lo[k - 1]) * frac + lo[k - 1];
            double v_hi = interpolate_on_axis(y_hi, axis, m, row_hi);
            double v_lo = interpolate_on_axis(y_lo, axis, m, row_lo);
            out[i] = (E_requested - E_lo) * (v_hi - v_lo) / (E_hi - E_lo) + v_lo;
        }
        Py_END_ALLOW_THREADS
    }
    for (int k = 0; k < got; k++)
        PyBuffer_Release(&a[k].view);
    if (PyErr_Occurred())
        return NULL;
    Py_RETURN_NONE;
}

static PyObject *extract(PyObject *self, PyObject *args)
{
    PyObject *row_obj, *cols, *values;
    Array row;
    if (!PyArg_ParseTuple(args, "OO!O!", &row_obj, &PyList_Type, &cols, &PyList_Type, &values))
        return NULL;
    if (get_array(row_obj, &row, 0) < 0)
        return NULL;
    int failed = 0;
    for (Py_ssize_t k = 0; k < row.n && !failed; k++) {
        if (!(row.data[k] > 1e-12))
            continue;
        PyObject *col = PyLong_FromSsize_t(k);
        PyObject *value = PyFloat_FromDouble(row.data[k]);
        failed = !col || !value || PyList_Append(cols, col) < 0 ||
                 PyList_Append(values, value) < 0;
        Py_XDECREF(col);
        Py_XDECREF(value);
    }
    PyBuffer_Release(&row.view);
    if (failed)
        return NULL;
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"rebin", rebin, METH_VARARGS, NULL},
    {"fill_row", fill_row, METH_VARARGS, NULL},
    {"extract", extract, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "literal", NULL, -1, methods};

PyMODINIT_FUNC PyInit_literal(void)
{
    return PyModule_Create(&module);
}
