#pragma once
/*
 * The conversion of dumps' `value` argument: the encoder's classification,
 * in place of pybind11's own variant caster (which would try each
 * alternative through its standard caster). The caster's name, and so the
 * signature dumps shows, stays the variant caster's.
 */

#include "value_variant.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

namespace pybind11::detail {
template <>
struct type_caster<value_variant> : variant_caster<value_variant> {
    bool load(handle source, bool convert) { return source && classify(source.ptr(), value, convert); }
};
}  // namespace pybind11::detail
