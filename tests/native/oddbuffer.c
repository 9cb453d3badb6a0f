/* oddbuffer: a buffer exporter that reports exactly the layout it is given.
 *
 * OddBuffer(memory, format, itemsize, shape, strides=None, suboffsets=None,
 *           readonly=False, offset=0)
 *
 * exports the memory of `memory` (any writable buffer, kept alive) starting
 * `offset` bytes in, with the given format string, item size, shape, strides
 * and suboffsets, whatever the consumer asks for. strides=None and
 * shape=None leave those fields null, as some exporters do. The tests use it
 * to reach format strings and layouts that common exporters never produce.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

typedef struct {
    PyObject_HEAD
    Py_buffer memory;
    PyObject *format;
    Py_ssize_t itemsize;
    Py_ssize_t offset;
    int ndim;
    int readonly;
    int has_shape, has_strides, has_suboffsets;
    Py_ssize_t shape[8], strides[8], suboffsets[8];
} OddBuffer;

static int read_sizes(PyObject *seq, Py_ssize_t *out, int *count)
{
    PyObject *fast = PySequence_Fast(seq, "expected a sequence of ints");
    if (!fast)
        return -1;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
    if (n > 8) {
        Py_DECREF(fast);
        PyErr_SetString(PyExc_ValueError, "at most 8 dimensions");
        return -1;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        out[i] = PyLong_AsSsize_t(PySequence_Fast_GET_ITEM(fast, i));
        if (out[i] == -1 && PyErr_Occurred()) {
            Py_DECREF(fast);
            return -1;
        }
    }
    *count = (int)n;
    Py_DECREF(fast);
    return 0;
}

static PyObject *odd_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    static char *kwlist[] = {"memory", "format", "itemsize", "shape", "strides",
                             "suboffsets", "readonly", "offset", NULL};
    PyObject *memory, *format, *shape, *strides = Py_None, *suboffsets = Py_None;
    Py_ssize_t itemsize, offset = 0;
    int readonly = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OUnO|OOpn", kwlist, &memory, &format,
                                     &itemsize, &shape, &strides, &suboffsets, &readonly,
                                     &offset))
        return NULL;
    OddBuffer *self = (OddBuffer *)type->tp_alloc(type, 0);
    if (!self)
        return NULL;
    if (PyObject_GetBuffer(memory, &self->memory, PyBUF_WRITABLE) < 0) {
        Py_DECREF(self);
        return NULL;
    }
    self->format = Py_NewRef(format);
    self->itemsize = itemsize;
    self->offset = offset;
    self->readonly = readonly;
    int n = 0;
    if (shape == Py_None) {
        self->ndim = 1;
    } else {
        if (read_sizes(shape, self->shape, &n) < 0) {
            Py_DECREF(self);
            return NULL;
        }
        self->ndim = n;
        self->has_shape = 1;
    }
    if (strides != Py_None) {
        if (read_sizes(strides, self->strides, &n) < 0) {
            Py_DECREF(self);
            return NULL;
        }
        self->has_strides = 1;
    }
    if (suboffsets != Py_None) {
        if (read_sizes(suboffsets, self->suboffsets, &n) < 0) {
            Py_DECREF(self);
            return NULL;
        }
        self->has_suboffsets = 1;
    }
    return (PyObject *)self;
}

static void odd_dealloc(OddBuffer *self)
{
    if (self->memory.obj)
        PyBuffer_Release(&self->memory);
    Py_XDECREF(self->format);
    Py_TYPE(self)->tp_free((PyObject *)self);
}

static int odd_getbuffer(OddBuffer *self, Py_buffer *view, int flags)
{
    (void)flags;
    view->obj = Py_NewRef((PyObject *)self);
    view->buf = (char *)self->memory.buf + self->offset;
    Py_ssize_t len = self->itemsize;
    for (int d = 0; d < self->ndim && self->has_shape; d++)
        len *= self->shape[d];
    view->len = self->has_shape ? len : self->memory.len - self->offset;
    view->itemsize = self->itemsize;
    view->readonly = self->readonly;
    view->ndim = self->ndim;
    view->format = (char *)PyUnicode_AsUTF8(self->format);
    view->shape = self->has_shape ? self->shape : NULL;
    view->strides = self->has_strides ? self->strides : NULL;
    view->suboffsets = self->has_suboffsets ? self->suboffsets : NULL;
    view->internal = NULL;
    return 0;
}

static PyBufferProcs odd_as_buffer = {(getbufferproc)odd_getbuffer, NULL};

static PyTypeObject OddBufferType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "oddbuffer.OddBuffer",
    .tp_basicsize = sizeof(OddBuffer),
    .tp_dealloc = (destructor)odd_dealloc,
    .tp_as_buffer = &odd_as_buffer,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_new = odd_new,
};

static struct PyModuleDef odd_module = {PyModuleDef_HEAD_INIT, "oddbuffer", NULL, -1, NULL};

PyMODINIT_FUNC PyInit_oddbuffer(void)
{
    if (PyType_Ready(&OddBufferType) < 0)
        return NULL;
    PyObject *m = PyModule_Create(&odd_module);
    if (m && PyModule_AddObjectRef(m, "OddBuffer", (PyObject *)&OddBufferType) < 0) {
        Py_DECREF(m);
        return NULL;
    }
    return m;
}
