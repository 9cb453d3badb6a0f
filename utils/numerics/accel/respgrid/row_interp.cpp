// row_interp.cpp: preparation of an interpolated response row.
//
// With the interpreter lock held: the escape-peak switch (E_lo above
// 1022 keV serves both reference energies, so both boundary lists have the
// same length), max_value = np.max(requested_E_axis), the two boundary lists
// as float64 arrays, and the boundaries for E_requested as
// weight * (regions_hi - regions_lo) + regions_lo through NumPy's operators.
// Then the channel loop, without the lock, over raw memory only.
#include "respgrid/row_interp.hpp"

#include "frame/convert.hpp"
#include "frame/nd_buffer.hpp"
#include "frame/traceback.hpp"
#include "respgrid/module.hpp"
#include "respgrid/reductions.hpp"
#include "respgrid/regions.hpp"
#include "respgrid/row_interp_kernel.hpp"

namespace accel::respgrid {
namespace {

using frame::Ref;
using frame::TypedView;

namespace line {
constexpr int regions_lo = 149;
constexpr int regions_hi = 150;
constexpr int regions = 152;
constexpr int view_lo = 154;
constexpr int view_hi = 155;
constexpr int view_regions = 156;
}  // namespace line

constexpr double escape_peaks_above = 1022.0;   // keV

const frame::TraceFunction interpolate_fn{
    &module_data, "vantor.utils.numerics.accel.respgrid.interpolate_response_row"};

bool fail(int line)
{
    frame::add_traceback(interpolate_fn, line);
    return false;
}

/// Binds a float64 ndarray variable: an ndarray (or subclass) of one
/// dimension holding float64.
bool hold_array(Ref &var, frame::NdBuffer &buffer, Ref value)
{
    return value && frame::rebind_ndarray(var, buffer, std::move(value), 1, ndarray_type);
}

/// np.asarray(calculate_regions(E, float(np.max(requested_E_axis)), switch),
/// dtype=np.float64)
Ref boundary_array(double E, const TypedView &requested_E_axis, PyObject *escape_switch)
{
    Ref max = frame::lookup_global_attr(module_data, name::np, name::max);
    if (!max)
        return {};
    Ref top = max_of(max.get(), requested_E_axis.owner(), requested_E_axis.length());
    if (!top)
        return {};
    double max_value;
    if (!frame::to_double(top.get(), max_value))
        return {};
    Ref list = compute_regions(E, max_value, escape_switch);
    if (!list)
        return {};
    return frame::call_global_attr(module_data, name::np, name::asarray, list.get(), name::dtype,
                                   name::float64);
}

/// weight * (regions_hi - regions_lo) + regions_lo, with NumPy's operators.
Ref interpolated_boundaries(double E_requested, double E_lo, double E_hi, PyObject *regions_lo,
                            PyObject *regions_hi)
{
    Ref weight = Ref::steal(PyFloat_FromDouble((E_requested - E_lo) / (E_hi - E_lo)));
    if (!weight)
        return {};
    Ref difference = Ref::steal(PyNumber_Subtract(regions_hi, regions_lo));
    if (!difference)
        return {};
    Ref scaled = Ref::steal(PyNumber_Multiply(weight.get(), difference.get()));
    if (!scaled)
        return {};
    return Ref::steal(PyNumber_Add(scaled.get(), regions_lo));
}

/// The channel loop indexes the rows up to ref_E_axis's length, the
/// boundary arrays up to the length of `regions` and out_row up to
/// requested_E_axis's length. Arrays of other lengths can only come from an
/// `np` rebound to something else, or from ndarray subclasses with odd rows;
/// they are refused rather than read past their ends.
bool check_lengths(const TypedView &requested_E_axis, const TypedView &ref_E_axis,
                   const TypedView &row_lo, const TypedView &row_hi,
                   const TypedView &regions_lo, const TypedView &regions_hi,
                   const TypedView &regions, const TypedView &out_row)
{
    struct Need {
        const char *what;
        Py_ssize_t has;
        const char *against;
        Py_ssize_t needs;
    };
    const Need needs[] = {
        {"row_lo", row_lo.length(), "ref_E_axis", ref_E_axis.length()},
        {"row_hi", row_hi.length(), "ref_E_axis", ref_E_axis.length()},
        {"regions_lo", regions_lo.length(), "regions", regions.length()},
        {"regions_hi", regions_hi.length(), "regions", regions.length()},
        {"out_row", out_row.length(), "requested_E_axis", requested_E_axis.length()},
    };
    for (const Need &need : needs)
        if (need.has < need.needs) {
            PyErr_Format(PyExc_ValueError,
                         "interpolate_response_row: %s has %zd entries, fewer than the %zd "
                         "of %s",
                         need.what, need.has, need.needs, need.against);
            return false;
        }
    return true;
}

}  // namespace

bool interpolate_response_row(double E_requested, const TypedView &requested_E_axis,
                              const TypedView &ref_E_axis, double E_lo, const TypedView &row_lo,
                              double E_hi, const TypedView &row_hi, const TypedView &out_row,
                              RowScratch &scratch)
{
    PyObject *escape_switch = E_lo > escape_peaks_above ? Py_True : Py_False;

    Ref regions_lo, regions_hi, regions;
    frame::NdBuffer regions_lo_buffer, regions_hi_buffer, regions_buffer;
    if (!hold_array(regions_lo, regions_lo_buffer,
                    boundary_array(E_lo, requested_E_axis, escape_switch)))
        return fail(line::regions_lo);
    if (!hold_array(regions_hi, regions_hi_buffer,
                    boundary_array(E_hi, requested_E_axis, escape_switch)))
        return fail(line::regions_hi);
    if (!hold_array(regions, regions_buffer,
                    interpolated_boundaries(E_requested, E_lo, E_hi, regions_lo.get(),
                                            regions_hi.get())))
        return fail(line::regions);

    TypedView lo_view, hi_view, regions_view;
    if (!frame::acquire_view(regions_lo.get(), 1, frame::double_element, lo_view))
        return fail(line::view_lo);
    if (!frame::acquire_view(regions_hi.get(), 1, frame::double_element, hi_view))
        return fail(line::view_hi);
    if (!frame::acquire_view(regions.get(), 1, frame::double_element, regions_view))
        return fail(line::view_regions);
    if (!check_lengths(requested_E_axis, ref_E_axis, row_lo, row_hi, lo_view, hi_view,
                       regions_view, out_row))
        return fail(line::view_regions);

    scratch.axis_max.resize(static_cast<size_t>(ref_E_axis.length()));
    scratch.regions_max.resize(static_cast<size_t>(regions_view.length()));
    const RowInputs inputs{E_requested,
                           E_lo,
                           E_hi,
                           requested_E_axis.as_1d(),
                           ref_E_axis.as_1d(),
                           row_lo.as_1d(),
                           row_hi.as_1d(),
                           lo_view.as_1d(),
                           hi_view.as_1d(),
                           regions_view.as_1d(),
                           out_row.as_mut_1d()};
    {
        frame::GilRelease nogil;   // no Python objects in this block
        fill_row(inputs, scratch.axis_max.data(), scratch.regions_max.data());
    }
    return true;
}

}  // namespace accel::respgrid
