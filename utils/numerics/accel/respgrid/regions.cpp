// regions.cpp: calculate_regions and its computing entry.
//
// The backscatter peak is E_p / ((E_p + E_p) / 511 + 1), evaluated in exactly
// that order; its divisor is not tested, so E_p = -255.5 gives an infinity.
// The lower end stays the int 0, also after sorting among the floats.
#include "respgrid/regions.hpp"

#include "frame/binding.hpp"
#include "frame/convert.hpp"
#include "frame/traceback.hpp"
#include "respgrid/module.hpp"

#include <initializer_list>

namespace accel::respgrid {
namespace {

namespace line {
constexpr int def = 69;
constexpr int E_p = 70;
constexpr int max_value = 71;
constexpr int escape_truth = 82;
constexpr int list_of_6 = 83;
constexpr int list_of_8 = 88;
}  // namespace line

constexpr double single_escape = 511.0;          // keV, the electron rest energy
constexpr double double_escape = 1022.0;         // keV
constexpr double photopeak_half_window = 10.0;   // keV

/// A new list of the int 0 followed by one float per value.
frame::Ref boundary_list(std::initializer_list<double> values)
{
    frame::Ref list = frame::Ref::steal(PyList_New(1 + static_cast<Py_ssize_t>(values.size())));
    if (!list)
        return {};
    PyList_SET_ITEM(list.get(), 0, PyLong_FromLong(0));   // small ints never fail
    Py_ssize_t i = 1;
    for (double value : values) {
        PyObject *item = PyFloat_FromDouble(value);
        if (!item)
            return {};
        PyList_SET_ITEM(list.get(), i++, item);   // steals
    }
    return list;
}

}  // namespace

frame::ParamTable regions_params{"calculate_regions",
                                 {{"E_p"}, {"max_value"}, {"has_escape_peaks"}}};

frame::Ref compute_regions(double E_p, double max_value, PyObject *has_escape_peaks)
{
    int escape;
    if (has_escape_peaks == Py_True)
        escape = 1;
    else if (has_escape_peaks == Py_False || has_escape_peaks == Py_None)
        escape = 0;
    else if ((escape = PyObject_IsTrue(has_escape_peaks)) < 0) {
        frame::add_traceback(regions_fn, line::escape_truth);
        return {};
    }

    const double backscatter = E_p / (((E_p + E_p) / single_escape) + 1.0);
    const double compton_edge = E_p - backscatter;
    const double window_lo = E_p - photopeak_half_window;
    const double window_hi = E_p + photopeak_half_window;

    if (!escape) {
        frame::Ref list =
            boundary_list({backscatter, compton_edge, window_lo, window_hi, max_value});
        if (!list)
            frame::add_traceback(regions_fn, line::list_of_6);
        return list;
    }
    frame::Ref list = boundary_list({backscatter, compton_edge, window_lo, window_hi,
                                     E_p - single_escape, E_p - double_escape,
                                     max_value});
    if (!list || PyList_Sort(list.get()) < 0) {
        frame::add_traceback(regions_fn, line::list_of_8);
        return {};
    }
    return list;
}

PyObject *calculate_regions(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[3];
    if (!frame::bind_args(regions_params, args, nargs, kwnames, a))
        return frame::add_traceback(regions_fn, line::def);
    double E_p;
    if (!frame::to_double(a[0], E_p))
        return frame::add_traceback(regions_fn, line::E_p);
    double max_value;
    if (!frame::to_double(a[1], max_value))
        return frame::add_traceback(regions_fn, line::max_value);
    if (!frame::check_exact(a[2], &PyBool_Type, "has_escape_peaks"))
        return nullptr;
    frame::Ref regions = compute_regions(E_p, max_value, a[2]);
    if (!regions)
        return frame::add_traceback(regions_fn, line::def);
    return regions.release();
}

}  // namespace accel::respgrid
