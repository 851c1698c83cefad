#pragma once

#include "value_variant.h"

#include <cstdint>

/* Encodes `value` as one CBOR data item: containers indefinite-length or
 * definite, nesting bounded by max_depth (0: no bound). Raises instead of
 * returning partial output. */
pybind11::bytes dumps_impl(const value_variant &value, bool indefinite, uint64_t max_depth);
