#pragma once
/*
 * The conversion of dumps' arguments. `value` goes through the encoder's
 * classification, in place of pybind11's own variant caster (which would
 * try each alternative through its standard caster). `indefinite` and
 * `max_depth` are read by pybind11's standard rules, but an interrupt or
 * another error that must reach the caller is not taken for a refusal,
 * which would have raised TypeError. The casters keep pybind11's names, and
 * so the signature dumps shows.
 */

#include "value_variant.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>

/* dumps' `indefinite` and `max_depth` as received. */
struct indefinite_flag {
    bool value;
};

struct depth_limit {
    uint64_t value;
};

namespace pybind11::detail {
template <>
struct type_caster<value_variant> : variant_caster<value_variant> {
    bool load(handle source, bool convert) { return source && classify(source.ptr(), value, convert); }
};

template <>
struct type_caster<indefinite_flag> {
    PYBIND11_TYPE_CASTER(indefinite_flag, const_name("bool"));
    bool load(handle source, bool convert) { return source && load_flag_argument(source.ptr(), convert, value.value); }
};

template <>
struct type_caster<depth_limit> {
    PYBIND11_TYPE_CASTER(depth_limit, const_name("int"));
    bool load(handle source, bool convert) { return source && load_count_argument(source.ptr(), convert, value.value); }
};
}  // namespace pybind11::detail
