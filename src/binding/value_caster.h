#pragma once
/*
 * The conversion of dumps' arguments. `value` goes through the encoder's
 * classification, in place of pybind11's own variant caster (which would
 * try each alternative through its standard caster). `indefinite` and
 * `max_depth` are read by pybind11's standard rules, but an interrupt or
 * another error that must reach the caller is not taken for a refusal.
 *
 * The casters never fail: an object that no rule accepts is recorded as
 * refused, and the bound function reports the refusal (see
 * refused_arguments.h). A failing caster would have pybind11 quote the repr
 * of every argument in its TypeError. The casters keep pybind11's names, and
 * so the signature dumps shows.
 */

#include "value_variant.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>

/* dumps' arguments as received; `refused` when no rule accepts the object. */
struct value_argument {
    value_variant value;
    bool refused = false;
};

struct indefinite_flag {
    bool value = true;
    bool refused = false;
};

struct depth_limit {
    uint64_t value = 0;
    bool refused = false;
};

namespace pybind11::detail {
template <>
struct type_caster<value_argument> {
    PYBIND11_TYPE_CASTER(value_argument, make_caster<value_variant>::name);
    bool load(handle source, bool convert) {
        value.refused = !(source && classify(source.ptr(), value.value, convert));
        return true;
    }
};

template <>
struct type_caster<indefinite_flag> {
    PYBIND11_TYPE_CASTER(indefinite_flag, const_name("bool"));
    bool load(handle source, bool convert) {
        value.refused = !(source && load_flag_argument(source.ptr(), convert, value.value));
        return true;
    }
};

template <>
struct type_caster<depth_limit> {
    PYBIND11_TYPE_CASTER(depth_limit, const_name("int"));
    bool load(handle source, bool convert) {
        value.refused = !(source && load_count_argument(source.ptr(), convert, value.value));
        return true;
    }
};
}  // namespace pybind11::detail
