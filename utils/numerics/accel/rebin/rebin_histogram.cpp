// rebin_histogram.cpp: rebin_histogram_cy, its argument handling and result.
//
// The three arguments are taken as writable one-dimensional double views
// (read in place through their strides, never written); the result is a
// np.zeros array that the sweep fills and that np.asarray hands back through
// the view object holding it, so no element is copied.
#include "rebin/rebin_histogram.hpp"

#include "frame/binding.hpp"
#include "frame/convert.hpp"
#include "frame/traceback.hpp"
#include "frame/typed_view.hpp"
#include "rebin/module.hpp"
#include "rebin/rebin_kernel.hpp"

#include <cstdint>

namespace accel::rebin {
namespace {

using frame::Ref;
using frame::TypedView;

namespace line {
constexpr int def = 3;
constexpr int energy_axis = 4;
constexpr int count_axis = 5;
constexpr int new_energy_axis = 6;
constexpr int new_counts = 12;
constexpr int old_left = 22;
constexpr int old_right = 23;
constexpr int result = 47;
}  // namespace line

const frame::TraceFunction rebin_fn{&module_data,
                                    "vantor.utils.numerics.accel.rebin.rebin_histogram_cy"};

/// np.zeros(new_n, dtype=np.float64), taken as a writable view.
bool allocate_counts(std::int64_t new_n, TypedView &new_counts)
{
    Ref size = Ref::steal(PyLong_FromLongLong(new_n));
    if (!size)
        return false;
    Ref array = frame::call_global_attr(module_data, name::np, name::zeros, size.get(),
                                        name::dtype, name::float64);
    if (!array)
        return false;
    if (!frame::acquire_view(array.get(), 1, frame::double_element, new_counts))
        return false;
    // np may be rebound to anything: never write past what it handed back.
    if (new_counts.length() < new_n) {
        PyErr_Format(PyExc_ValueError,
                     "np.zeros(%lld) returned an array of %zd elements",
                     static_cast<long long>(new_n), new_counts.length());
        return false;
    }
    return true;
}

/// np.asarray over the view object that holds new_counts.
PyObject *as_result(const TypedView &new_counts)
{
    Ref asarray = frame::lookup_global_attr(module_data, name::np, name::asarray);
    if (!asarray)
        return nullptr;
    return PyObject_CallOneArg(asarray.get(), new_counts.owner());
}

bool contiguous(frame::Strided1D a)
{
    return a.stride == static_cast<std::int64_t>(sizeof(double));
}

const double *as_doubles(frame::Strided1D a)
{
    return reinterpret_cast<const double *>(a.data);
}

}  // namespace

frame::ParamTable rebin_params{"rebin_histogram_cy",
                               {{"energy_axis"}, {"count_axis"}, {"new_energy_axis"}}};

PyObject *rebin_histogram_cy(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[3];
    if (!frame::bind_args(rebin_params, args, nargs, kwnames, a))
        return frame::add_traceback(rebin_fn, line::def);
    TypedView energy_axis, count_axis, new_energy_axis;
    if (!frame::acquire_view(a[0], 1, frame::double_element, energy_axis))
        return frame::add_traceback(rebin_fn, line::energy_axis);
    if (!frame::acquire_view(a[1], 1, frame::double_element, count_axis))
        return frame::add_traceback(rebin_fn, line::count_axis);
    if (!frame::acquire_view(a[2], 1, frame::double_element, new_energy_axis))
        return frame::add_traceback(rebin_fn, line::new_energy_axis);

    const std::int64_t old_n = count_axis.length();
    const std::int64_t new_n = new_energy_axis.length() - 1;
    TypedView new_counts;
    if (!allocate_counts(new_n, new_counts))
        return frame::add_traceback(rebin_fn, line::new_counts);

    // Old bin j reads edges j and j + 1, each with a bounds test. The sweep has
    // no effect but on new_counts, which a failure discards, so the first read
    // that would fail is found before sweeping.
    if (old_n > 0 && energy_axis.length() <= old_n) {
        const std::int64_t failing = energy_axis.length();   // index of the first bad read
        energy_axis.at(0, failing);
        return frame::add_traceback(rebin_fn, failing == 0 ? line::old_left : line::old_right);
    }
    const frame::Strided1D old_edges = energy_axis.as_1d(), counts = count_axis.as_1d(),
                           new_edges = new_energy_axis.as_1d();
    const frame::MutStrided1D out = new_counts.as_mut_1d();
    const bool walked = old_n > 0 && new_n > 0 && contiguous(old_edges) && contiguous(counts) &&
                        contiguous(new_edges) && contiguous(out) &&
                        rebin_ascending({as_doubles(old_edges), as_doubles(counts), old_n,
                                         as_doubles(new_edges), new_n,
                                         reinterpret_cast<double *>(out.data)});
    if (!walked)
        rebin_sweep(old_edges, counts, old_n, new_edges, new_n, out);

    PyObject *result = as_result(new_counts);
    if (!result)
        return frame::add_traceback(rebin_fn, line::result);
    return result;
}

}  // namespace accel::rebin
